// The common list of fixed-size elements.
#define KXAPI_LOG_FILE "access_server/kxapi/common/kxapi_commonlist"
#include "kxapi_algo_paths.h"
#include "kxapi_log.h"
#include "kxapicommon.h"

namespace {

constexpr long long kOclOk = 0;
constexpr long long kOclFail = -1;
constexpr int kOclYes = 1; // the only comparison result that counts as a match

// Frees one node and the element it holds, letting the caller release what the element refers
// to first. The head node holds no element, so no callback runs for it.
void FreeNode(OCLIST_NODE* pstNode, PFN_OCL_RELEASE pfnRelease)
{
    if (pstNode->pData != nullptr) {
        if (pfnRelease != nullptr) {
            pfnRelease(pstNode->pData);
        }
        VW_free(pstNode->pData);
    }
    VW_free(pstNode);
}

// Every removal ends here: pstPrev is the node right before pstCur.
void UnlinkNode(OCLIST* pstList, OCLIST_NODE* pstPrev, OCLIST_NODE* pstCur, PFN_OCL_RELEASE pfnRelease)
{
    if (pstCur == pstList->pstTail) {
        pstList->pstTail = pstPrev;
    }
    pstPrev->pstNext = pstCur->pstNext;
    FreeNode(pstCur, pfnRelease);
    pstList->ullNodeCount--;
}

} // namespace

OCLIST* OCL_Init(unsigned long long ullDataSize)
{
    auto* pstList = static_cast<OCLIST*>(VW_malloc(static_cast<int>(sizeof(OCLIST))));
    if (pstList == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:malloc memory for common list failed");
        return nullptr;
    }
    auto* pstHead = static_cast<OCLIST_NODE*>(VW_malloc(static_cast<int>(sizeof(OCLIST_NODE))));
    if (pstHead == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:malloc memory for head node of common list failed");
        VW_free(pstList);
        return nullptr;
    }
    pstHead->pData = nullptr;
    pstHead->pstNext = nullptr;
    pstList->pstHead = pstHead;
    pstList->pstTail = pstHead;
    pstList->ullDataSize = ullDataSize;
    pstList->ullNodeCount = 0;
    pstList->pMutex = CreateMutex();
    if (pstList->pMutex == nullptr) {
        VW_free(pstHead);
        VW_free(pstList);
        return nullptr;
    }
    return pstList;
}

long long OCL_AddToTail(OCLIST* pstList, const void* pData)
{
    if (pstList == nullptr || pData == nullptr || pstList->pstTail == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer!");
        return kOclFail;
    }
    auto* pstNode = static_cast<OCLIST_NODE*>(VW_malloc(static_cast<int>(sizeof(OCLIST_NODE))));
    if (pstNode == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:malloc memory for new list node failed");
        return kOclFail;
    }
    // The allocator takes an int: only the low 32 bits of the element size reach it, so a size
    // of 0 (or one whose low half is 0 or negative) refuses every element.
    pstNode->pData = VW_malloc(static_cast<int>(pstList->ullDataSize));
    if (pstNode->pData == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:malloc memory for new data of list node failed");
        VW_free(pstNode);
        return kOclFail;
    }
    // A failed copy leaves a zeroed element; the node is appended all the same.
    auto uiSize = static_cast<size_t>(pstList->ullDataSize);
    KXAPI_SECUREC_CHECK("memcpy_s", memcpy_s(pstNode->pData, uiSize, pData, uiSize));
    pstNode->pstNext = nullptr;
    pstList->pstTail->pstNext = pstNode;
    pstList->pstTail = pstNode;
    pstList->ullNodeCount++;
    return kOclOk;
}

long long OCL_DeleteForNode(OCLIST* pstList, void* pKey, PFN_OCL_COMPARE pfnCompare, PFN_OCL_RELEASE pfnRelease,
                            int iDeleteAll)
{
    if (pKey == nullptr || pstList == nullptr || pstList->pstHead == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer");
        return kOclFail;
    }
    if (pfnCompare == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null compare func pointer");
        return kOclFail;
    }
    if (pstList->ullNodeCount == 0) {
        return kOclFail;
    }
    long long llRet = kOclFail;
    OCLIST_NODE* pstPrev = pstList->pstHead;
    OCLIST_NODE* pstCur = pstPrev->pstNext;
    while (pstCur != nullptr) {
        if (pfnCompare(pstCur->pData, pKey) != kOclYes) {
            pstPrev = pstCur;
            pstCur = pstCur->pstNext;
            continue;
        }
        llRet = kOclOk;
        UnlinkNode(pstList, pstPrev, pstCur, pfnRelease);
        if (iDeleteAll == 0) {
            return kOclOk;
        }
        // pstPrev stays, so a run of adjacent matches goes as a whole.
        pstCur = pstPrev->pstNext;
    }
    return llRet;
}

long long OCL_DeleteFirstNode(OCLIST* pstList, PFN_OCL_RELEASE pfnRelease)
{
    if (pstList == nullptr || pstList->pstHead == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer");
        return kOclFail;
    }
    if (pstList->ullNodeCount == 0) {
        return kOclFail;
    }
    UnlinkNode(pstList, pstList->pstHead, pstList->pstHead->pstNext, pfnRelease);
    return kOclOk;
}

void OCL_DeleteCurNode(OCLIST* pstList, OCLIST_NODE* pstPrev, OCLIST_NODE* pstCur, PFN_OCL_RELEASE pfnRelease)
{
    if (pstList == nullptr || pstPrev == nullptr || pstCur == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer:%p, %p , %p!", static_cast<void*>(pstList),
                  static_cast<void*>(pstPrev), static_cast<void*>(pstCur));
        return;
    }
    UnlinkNode(pstList, pstPrev, pstCur, pfnRelease);
}

void OCL_Sort(const OCLIST* pstList, PFN_OCL_COMPARE pfnCompare)
{
    if (pstList == nullptr || pstList->pstHead == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null pointer");
        return;
    }
    if (pfnCompare == nullptr) {
        KXAPI_LOG(KXAPI_LEVEL_ERROR, "[KXAPI]:null compare func pointer");
        return;
    }
    // Selection sort over the element pointers: nodes stay where they are, nothing is allocated.
    for (OCLIST_NODE* pstI = pstList->pstHead->pstNext; pstI != nullptr && pstI->pstNext != nullptr;
         pstI = pstI->pstNext) {
        OCLIST_NODE* pstSel = pstI;
        for (OCLIST_NODE* pstJ = pstI->pstNext; pstJ != nullptr; pstJ = pstJ->pstNext) {
            if (pfnCompare(pstJ->pData, pstSel->pData) == kOclYes) {
                pstSel = pstJ;
            }
        }
        if (pstSel != pstI) {
            void* pTmp = pstI->pData;
            pstI->pData = pstSel->pData;
            pstSel->pData = pTmp;
        }
    }
}

void OCL_Clear(OCLIST* pstList, PFN_OCL_RELEASE pfnRelease)
{
    if (pstList == nullptr || pstList->pstHead == nullptr) {
        return;
    }
    OCLIST_NODE* pstCur = pstList->pstHead->pstNext;
    while (pstCur != nullptr) {
        OCLIST_NODE* pstNext = pstCur->pstNext;
        FreeNode(pstCur, pfnRelease);
        pstList->ullNodeCount--;
        pstCur = pstNext;
    }
    pstList->pstHead->pstNext = nullptr;
    pstList->pstTail = pstList->pstHead;
}

void OCL_Destroy(OCLIST* pstList, PFN_OCL_RELEASE pfnRelease)
{
    if (pstList == nullptr) {
        return;
    }
    OCLIST_NODE* pstCur = pstList->pstHead;
    while (pstCur != nullptr) {
        OCLIST_NODE* pstNext = pstCur->pstNext;
        FreeNode(pstCur, pfnRelease);
        pstCur = pstNext;
    }
    if (pstList->pMutex != nullptr) {
        (void)DestroyMutex(pstList->pMutex);
    }
    VW_free(pstList);
}
