// The record-to-JSON encoder: one MemberCoder per encoded member, listed in the order the members
// appear in the text. Each record type that is encoded has a JsonRecord specialisation below whose
// Encode builds its descriptor list on the stack and hands it to json_encode_obj; a record member
// of kind 0 is encoded through its own type's JsonRecord, so nesting follows the descriptors.
#ifndef KXAPI_JSON_ENCODE_H
#define KXAPI_JSON_ENCODE_H

#include "kxapicommon.h"
#include "securec.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

// Internal to the library (hidden), used by the encoder's time kinds.
// "%H:%M" of a count of minutes since midnight; hours are not wrapped (1500 gives "25:00").
json_object* CreateTimeOfDayJsonString(int iMinutes);
// "%Y-%m-%d %H:%M:%S" of a time value in local time; null when it cannot be converted.
json_object* CreateDateTimeJsonString(time_t tValue);

namespace kxapi_json {

// Allocation and release policies a descriptor carries; the encoder never uses them.
struct NullAlloc {};
struct NullDealloc {};

enum MemberKind : int {
    KIND_VALUE = 0,       // the member's own type: number, text of a char array, nested record
    KIND_BOOL = 1,        // first byte, true when non-zero
    KIND_TIME_OF_DAY = 2, // unsigned 16-bit minutes since midnight
    KIND_DATE_TIME = 3,   // 32-bit seconds since the epoch (the camera's time_t)
};

template <typename T, typename M, typename A = NullAlloc, typename D = NullDealloc>
struct MemberCoder {
    A alloc;
    D dealloc;
    M T::*member;
    const char* key;
    int kind;
};

template <typename T, typename M>
MemberCoder<T, M> Member(M T::*member, const char* key, int kind = KIND_VALUE)
{
    return MemberCoder<T, M>{NullAlloc{}, NullDealloc{}, member, key, kind};
}

template <typename T>
struct JsonRecord; // specialised for every record type that is encoded

// The member's first sizeof(U) bytes (the low bytes on the little-endian camera), zero-extended
// when the member is narrower, so the time and flag kinds read what the camera's layout holds.
template <typename U, typename M>
U ReadLow(const M& value)
{
    U out{};
    constexpr size_t n = sizeof(U) < sizeof(M) ? sizeof(U) : sizeof(M);
    (void)memcpy_s(&out, sizeof(out), &value, n);
    return out;
}

template <typename M>
json_object* EncodeValue(const M& value)
{
    if constexpr (std::is_array_v<M>) {
        // A char array is its text up to the NUL, never past the array.
        static_assert(std::is_same_v<std::remove_cv_t<std::remove_extent_t<M>>, char>, "only char arrays encode");
        // Copied on the stack: a heap copy could throw, and nothing may leave the library.
        char szText[sizeof(M) + 1];
        size_t uLen = strnlen(value, sizeof(M));
        (void)memcpy_s(szText, sizeof(szText), value, uLen);
        szText[uLen] = '\0';
        return cJSON_CreateString(szText);
    } else if constexpr (std::is_class_v<M>) {
        return JsonRecord<M>::Encode(value);
    } else {
        return cJSON_CreateNumber(value);
    }
}

template <typename M>
json_object* EncodeMemberValue(const M& value, int kind)
{
    switch (kind) {
        case KIND_BOOL:
            return json_object_new_boolean(ReadLow<unsigned char>(value) != 0 ? 1 : 0);
        case KIND_TIME_OF_DAY:
            return CreateTimeOfDayJsonString(static_cast<int>(ReadLow<unsigned short>(value)));
        case KIND_DATE_TIME:
            return CreateDateTimeJsonString(static_cast<time_t>(ReadLow<int>(value)));
        default:
            return EncodeValue(value);
    }
}

// Adds the first member, then the further ones, in order. A member value that comes back null is
// added all the same and prints as JSON null; a member json-c cannot add gives -1, and the record
// is then not encoded at all.
template <typename T, typename M, typename A, typename D, typename... Rest>
int json_encode_member(const T& stRecord, json_object* pstObj, const MemberCoder<T, M, A, D>& stFirst, Rest... rest)
{
    json_object* pstValue = EncodeMemberValue(stRecord.*(stFirst.member), stFirst.kind);
    // json-c leaves a value it could not take (no memory for the key or the table) with the caller;
    // a record missing a member is no body to send.
    if (json_object_object_add(pstObj, stFirst.key, pstValue) != 0) {
        (void)json_object_put(pstValue);
        return -1;
    }
    if constexpr (sizeof...(Rest) > 0) {
        return json_encode_member(stRecord, pstObj, rest...);
    }
    return 0;
}

template <typename T, typename... Coders>
json_object* json_encode_obj(const T& stRecord, Coders... coders)
{
    json_object* pstObj = cJSON_CreateObject();
    if (pstObj == nullptr) {
        return nullptr;
    }
    if constexpr (sizeof...(Coders) > 0) {
        if (json_encode_member(stRecord, pstObj, coders...) != 0) {
            cJSON_Delete(pstObj);
            return nullptr;
        }
    }
    return pstObj;
}

template <>
struct JsonRecord<KXAPI_RESPONSE_STATUS> {
    static json_object* Encode(const KXAPI_RESPONSE_STATUS& st)
    {
        return json_encode_obj(st, Member(&KXAPI_RESPONSE_STATUS::RequestURL, "RequestURL"),
                               Member(&KXAPI_RESPONSE_STATUS::StatusCode, "StatusCode"),
                               Member(&KXAPI_RESPONSE_STATUS::StatusString, "StatusString"));
    }
};

template <>
struct JsonRecord<KXAPI_RESPONSE> {
    static json_object* Encode(const KXAPI_RESPONSE& st)
    {
        return json_encode_obj(st, Member(&KXAPI_RESPONSE::ResponseStatus, "ResponseStatus"));
    }
};

template <>
struct JsonRecord<KXAPI_HTTP_IP_LOCK_STATUS> {
    static json_object* Encode(const KXAPI_HTTP_IP_LOCK_STATUS& st)
    {
        return json_encode_obj(st, Member(&KXAPI_HTTP_IP_LOCK_STATUS::IpLockStatus, "IpLockStatus"),
                               Member(&KXAPI_HTTP_IP_LOCK_STATUS::remainTime, "remainTime"));
    }
};

} // namespace kxapi_json

// The text of the record's tree in a malloc'ed block of exactly its length plus the NUL.
template <typename T>
char* json_encode(const T& stRecord)
{
    json_object* pstTree = kxapi_json::JsonRecord<T>::Encode(stRecord);
    if (pstTree == nullptr) {
        return nullptr;
    }
    const char* pszText = cJSON_Print(pstTree); // belongs to the tree
    if (pszText == nullptr) {
        cJSON_Delete(pstTree);
        return nullptr;
    }
    size_t n = strlen(pszText);
    char* pszOut = static_cast<char*>(malloc(n + 1));
    if (pszOut == nullptr) {
        cJSON_Delete(pstTree);
        return nullptr;
    }
    if (memset_s(pszOut, n + 1, 0, n + 1) != EOK || strncpy_s(pszOut, n + 1, pszText, n) != EOK) {
        cJSON_Delete(pstTree);
        free(pszOut);
        return nullptr;
    }
    cJSON_Delete(pstTree);
    return pszOut;
}

#endif
