#include "kxapicommon.h"

#include <json-c/json.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// Prints one number node as a member, so the test compares whole JSON texts.
template <typename T>
std::string Printed(T value)
{
    json_object* root = cJSON_CreateObject();
    cJSON_AddItemToObject(root, "n", cJSON_CreateNumber(value));
    std::string text = cJSON_Print(root);
    cJSON_Delete(root);
    return text;
}

TEST(JsonFacade, NumberOverloadsPrintTheirWidths)
{
    EXPECT_EQ(Printed(0.1f), "{ \"n\": 0.100000 }");
    EXPECT_EQ(Printed(0.1), "{ \"n\": 0.10000000000000001 }") << "json-c's own double text";
    EXPECT_EQ(Printed(-7), "{ \"n\": -7 }");
    EXPECT_EQ(Printed(4294967295u), "{ \"n\": -1 }") << "unsigned int is taken as signed 32-bit";
    EXPECT_EQ(Printed(2147483648u), "{ \"n\": -2147483648 }");
    EXPECT_EQ(Printed(-1l), "{ \"n\": -1 }");
    EXPECT_EQ(Printed(4294967295ul), "{ \"n\": 4294967295 }");
    EXPECT_EQ(Printed(-9223372036854775807LL - 1), "{ \"n\": -9223372036854775808 }");
    EXPECT_EQ(Printed(9223372036854775808ULL), "{ \"n\": -9223372036854775808 }");
    EXPECT_EQ(Printed(300ULL), "{ \"n\": 300 }");
}

TEST(JsonFacade, ObjectsArraysAndNull)
{
    json_object* root = cJSON_CreateObject();
    json_object* arr = cJSON_CreateArray();
    cJSON_AddItemToArray(arr, cJSON_CreateString("a/b"));
    cJSON_AddItemToArray(arr, cJSON_CreateNumber(2));
    cJSON_AddItemToObject(root, "list", arr);
    cJSON_AddItemToObject(root, "none", cJSON_CreateNull());
    EXPECT_STREQ(cJSON_Print(root), "{ \"list\": [ \"a\\/b\", 2 ], \"none\": null }");
    EXPECT_EQ(cJSON_GetArraySize(arr), 2);
    EXPECT_STREQ(json_object_get_string(cJSON_GetArrayItem(arr, 0)), "a/b");
    EXPECT_EQ(cJSON_GetArrayItem(arr, 5), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(root, "list"), arr);
    EXPECT_EQ(cJSON_GetObjectItem(root, "missing"), nullptr);

    // A null key or object leaves the item with the caller.
    json_object* orphan = cJSON_CreateString("x");
    cJSON_AddItemToObject(root, nullptr, orphan);
    cJSON_AddItemToObject(nullptr, "k", orphan);
    EXPECT_STREQ(cJSON_Print(root), "{ \"list\": [ \"a\\/b\", 2 ], \"none\": null }");
    cJSON_Delete(orphan);
    cJSON_Delete(root);
    cJSON_Delete(nullptr);
}

TEST(JsonFacade, ParseGivesTreeOrNull)
{
    json_object* tree = cJSON_Parse("{\"a\": [1, 2, 3]}");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(tree, "a")), 3);
    cJSON_Delete(tree);
    EXPECT_EQ(cJSON_Parse("{\"a\": "), nullptr);
}

} // namespace
