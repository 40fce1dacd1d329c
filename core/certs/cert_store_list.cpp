// CertStoreList: a composite store that asks its members in order, the member added last first;
// a member's final no (stop) ends the search.
#include "core/certs/cert_store_internal.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"

namespace {

struct Node {
    CertStoreInterface* Member; // holds a reference
    Node* Next;
    Node* Previous;
};

constexpr uint32_t kNodesPerChunk = 5;

} // namespace

struct CertStoreList : CertStoreBase {
    Node* Head;
    Node* Tail;
    uint32_t Count;
    Pool* Nodes;
    // Recursive, and held while members are asked: one search sees one fixed member list.
    CriticalSection* Lock;
};

namespace {

void ResetLocked(CertStoreList* list) {
    for (Node* node = list->Head; node;) {
        Node* next = node->Next;
        CertStoreInterface_Release(&node->Member);
        Pool_Free(list->Nodes, &node, sizeof(Node));
        node = next;
    }
    list->Head = list->Tail = nullptr;
    list->Count = 0;
}

int64_t DeleteHandle(void** handle) {
    auto* list = static_cast<CertStoreList*>(*handle);
    CLASS_CHECK(list, CERTSTORELIST_CLASS_ID);
    {
        CriticalSectionGuard guard(list->Lock);
        ResetLocked(list);
    }
    Pool_Delete(&list->Nodes);
    CriticalSection_Delete(&list->Lock);
    CertStore_DropInterface(list);
    list->Header.ClassId = 0;
    Memory_Free(list, sizeof(CertStoreList));
    *handle = nullptr;
    return 1;
}

int64_t IsTrusted(CertStoreInterface*, void* user, X509* cert, uint32_t* stop) {
    auto* list = static_cast<CertStoreList*>(user);
    CriticalSectionGuard guard(list->Lock);
    *stop = 0;
    for (Node* node = list->Head; node; node = node->Next) {
        if (CertStoreInterface_X509IsTrusted(node->Member, cert, stop) == 1) return 1;
        if (*stop == 1) return 0;
    }
    return 0;
}

int64_t IsTrustedJWS(CertStoreInterface*, void* user, Dictionary* header, CryptAsymmetric** key, uint32_t* stop) {
    auto* list = static_cast<CertStoreList*>(user);
    CriticalSectionGuard guard(list->Lock);
    *stop = 0;
    for (Node* node = list->Head; node; node = node->Next) {
        if (CertStoreInterface_X509IsTrustedJWS(node->Member, header, key, stop) == 1) return 1;
        if (*stop == 1) return 0;
    }
    return 0;
}

} // namespace

int64_t CertStoreList_Create(CertStoreList** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* list = static_cast<CertStoreList*>(Memory_AllocZero(sizeof(CertStoreList)));
    list->Header.ClassId = CERTSTORELIST_CLASS_ID;
    list->Header.RefCount = 1;
    list->Header.Delete = DeleteHandle;
    Pool_Create(&list->Nodes);
    Pool_SetMemorySize(list->Nodes, sizeof(Node));
    Pool_SetChunkSize(list->Nodes, kNodesPerChunk);
    CriticalSection_Create(&list->Lock);
    CertStore_InitInterface(list);
    CertStoreInterface_SetX509IsTrustedCallback(list->Interface, list, IsTrusted);
    CertStoreInterface_SetX509IsTrustedJWSCallback(list->Interface, list, IsTrustedJWS);
    *handle = list;
    return 1;
}

CertStoreInterface* CertStoreList_GetInterfaceHandle(CertStoreList* list) {
    CLASS_CHECK(list, CERTSTORELIST_CLASS_ID);
    return CertStoreInterface_AddRef(list->Interface);
}

int64_t CertStoreList_Add(CertStoreList* list, CertStoreInterface* member) {
    CLASS_CHECK(list, CERTSTORELIST_CLASS_ID);
    CLASS_CHECK(member, CERTSTOREINTERFACE_CLASS_ID);
    // A list asking itself would never end its search.
    if (member == list->Interface) return 0;
    CriticalSectionGuard guard(list->Lock);
    auto* node = static_cast<Node*>(Pool_Alloc(list->Nodes, sizeof(Node)));
    node->Member = CertStoreInterface_AddRef(member);
    node->Previous = nullptr;
    node->Next = list->Head;
    if (list->Head)
        list->Head->Previous = node;
    else
        list->Tail = node;
    list->Head = node;
    list->Count++;
    return 1;
}

int64_t CertStoreList_Reset(CertStoreList* list) {
    CLASS_CHECK(list, CERTSTORELIST_CLASS_ID);
    CriticalSectionGuard guard(list->Lock);
    ResetLocked(list);
    return 1;
}

CLASS_BASICS(CertStoreList, CertStoreList, CERTSTORELIST_CLASS_ID)
