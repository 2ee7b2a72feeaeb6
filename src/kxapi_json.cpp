// The cJSON_ facade: each operation is one json-c call, so nodes keep json-c's ownership rules.
#include "kxapicommon.h"
#include "securec.h"

#include <json-c/json.h>

#include <cstdio>

json_object* cJSON_CreateObject()
{
    return json_object_new_object();
}

json_object* cJSON_CreateArray()
{
    return json_object_new_array();
}

json_object* cJSON_CreateString(const char* pszText)
{
    return json_object_new_string(pszText);
}

json_object* cJSON_CreateNull()
{
    return nullptr; // json-c prints a null member as JSON null
}

json_object* cJSON_CreateNumber(double dValue)
{
    return json_object_new_double(dValue);
}

json_object* cJSON_CreateNumber(float fValue)
{
    // The number's JSON text is exactly its "%f" form, not json-c's shortest double text.
    char szText[64] = {0};
    double dValue = static_cast<double>(fValue);
    if (snprintf_s(szText, sizeof(szText), sizeof(szText) - 1, "%f", dValue) < 0) {
        printf("snprintf_s err\n");
    }
    return json_object_new_double_s(dValue, szText);
}

json_object* cJSON_CreateNumber(int iValue)
{
    return json_object_new_int(iValue);
}

json_object* cJSON_CreateNumber(unsigned int uiValue)
{
    return json_object_new_int(static_cast<int32_t>(uiValue));
}

json_object* cJSON_CreateNumber(long lValue)
{
    return json_object_new_int64(static_cast<int64_t>(lValue));
}

json_object* cJSON_CreateNumber(unsigned long ulValue)
{
    return json_object_new_int64(static_cast<int64_t>(static_cast<uint64_t>(ulValue)));
}

json_object* cJSON_CreateNumber(long long llValue)
{
    return json_object_new_int64(llValue);
}

json_object* cJSON_CreateNumber(unsigned long long ullValue)
{
    return json_object_new_int64(static_cast<int64_t>(ullValue));
}

void cJSON_AddItemToObject(json_object* pstObject, const char* pszKey, json_object* pstItem)
{
    if (pstObject == nullptr || pszKey == nullptr) {
        return; // the item stays with the caller
    }
    (void)json_object_object_add(pstObject, pszKey, pstItem);
}

void cJSON_AddItemToArray(json_object* pstArray, json_object* pstItem)
{
    (void)json_object_array_add(pstArray, pstItem);
}

json_object* cJSON_GetObjectItem(json_object* pstObject, const char* pszKey)
{
    return json_object_object_get(pstObject, pszKey);
}

json_object* cJSON_GetArrayItem(json_object* pstArray, int iIndex)
{
    return json_object_array_get_idx(pstArray, static_cast<size_t>(iIndex));
}

int cJSON_GetArraySize(json_object* pstArray)
{
    return static_cast<int>(json_object_array_length(pstArray));
}

const char* cJSON_Print(json_object* pstNode)
{
    return json_object_to_json_string(pstNode);
}

json_object* cJSON_Parse(const char* pszText)
{
    return json_tokener_parse(pszText);
}

void cJSON_Delete(json_object* pstNode)
{
    if (pstNode != nullptr) {
        (void)json_object_put(pstNode);
    }
}
