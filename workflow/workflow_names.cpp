// Workflow task names: every name a document gives a task must reach that task's own definition.
// A leading '#' or '.' marks a task private and is no part of its name, so two keys of a document
// can be one name; such a document is refused before it replaces or hides a definition.
#include <algorithm>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "workflow/workflow.h"

namespace {

struct Name {
    const char* Key;    // as stored: without the private mark
    uint32_t Private;   // written with a leading '#' or '.'
    bool FromDocument;  // else a definition already loaded
    bool Replaced;      // a loaded definition that the document replaces
    uint32_t Order;     // the document's items first, in their order
};

bool KeyLess(const Name& a, const Name& b) {
    return strcmp(a.Key, b.Key) < 0;
}

bool Less(const Name& a, const Name& b) {
    const int order = strcmp(a.Key, b.Key);
    return order < 0 || (order == 0 && a.Order < b.Order);
}

// The range of names stored as `key`.
std::pair<Name*, Name*> Named(Name* begin, Name* end, const char* key) {
    const Name probe = {key, 0, false, false, 0};
    return std::equal_range(begin, end, probe, KeyLess);
}

// A name as the document may have written it: a private one with either mark.
void Written(const Name& name, char* out, int32_t capacity) {
    if (name.Private)
        String_Print(out, capacity, "\"#%s\" or \".%s\"", name.Key, name.Key);
    else
        String_Print(out, capacity, "\"%s\"", name.Key);
}

uint32_t Collect(Dictionary* dict, bool fromDocument, Name* out, uint32_t order) {
    uint32_t n = 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(dict, &item); item; Dictionary_ItemGetNext(dict, item, &item)) {
        const char* key = nullptr;
        if (!Dictionary_ItemGetKeyPtr(dict, item, &key) || !key) continue;
        uint32_t hidden = 0;
        Dictionary_ItemGetPrivate(dict, item, &hidden);
        out[n] = {key, hidden, fromDocument, false, order + n};
        n++;
    }
    return n;
}

} // namespace

int64_t Workflow_CheckTaskNames(Dictionary* document, Dictionary* loaded, char* problem, int32_t capacity) {
    ASSERT_POINTER(document);
    ASSERT_POINTER(problem);
    if (capacity > 0) problem[0] = 0;
    uint32_t documentCount = 0;
    uint32_t loadedCount = 0;
    Dictionary_ItemGetCount(document, &documentCount);
    if (loaded) Dictionary_ItemGetCount(loaded, &loadedCount);
    const uint32_t total = documentCount + loadedCount;
    if (total < 2) return 1;
    const size_t bytes = sizeof(Name) * total;
    Name* names = static_cast<Name*>(Memory_Alloc(bytes));
    uint32_t n = Collect(document, true, names, 0);
    if (loaded) n += Collect(loaded, false, names + n, n);
    Name* end = names + n;
    std::sort(names, end, Less);
    int64_t sound = 1;
    char first[2 * (DICTIONARY_MAX_KEY_LENGTH + 8)];
    char second[sizeof(first)];
    // One name given twice by the document: the later definition would replace the earlier. A
    // loaded definition of the same name is replaced on purpose, as a later document's should be.
    for (Name* at = names; sound && at < end;) {
        Name* next = at + 1;
        while (next < end && strcmp(next->Key, at->Key) == 0) next++;
        Name* earlier = nullptr;
        for (Name* each = at; each < next; each++) {
            if (!each->FromDocument) continue;
            if (earlier) {
                Written(*earlier, first, (int32_t)sizeof(first));
                Written(*each, second, (int32_t)sizeof(second));
                String_Print(problem, capacity, "task \"%s\" is defined twice, as %s and as %s", at->Key, first,
                             second);
                sound = 0;
                break;
            }
            earlier = each;
        }
        if (earlier)
            for (Name* each = at; each < next; each++)
                if (!each->FromDocument) each->Replaced = true;
        at = next;
    }
    // A private name written with its mark is also the text of another stored name ("#x" for a
    // task read from "##x" or ".#x"): that text would name the other task.
    char marked[DICTIONARY_MAX_KEY_LENGTH + 2];
    for (Name* at = names; sound && at < end; at++) {
        if (!at->Private || at->Replaced) continue;
        for (const char mark : {'#', '.'}) {
            String_Print(marked, (int32_t)sizeof(marked), "%c%s", mark, at->Key);
            auto [from, to] = Named(names, end, marked);
            for (Name* other = from; other < to; other++) {
                if (other->Replaced || (!other->FromDocument && !at->FromDocument)) continue;
                Written(*other, second, (int32_t)sizeof(second));
                String_Print(problem, capacity,
                             "task names \"%s\" and %s clash: \"%s\" names both the private task \"%s\" and the "
                             "task \"%s\"",
                             marked, second, marked, at->Key, other->Key);
                sound = 0;
                break;
            }
            if (!sound) break;
        }
    }
    Memory_Free(names, bytes);
    return sound;
}
