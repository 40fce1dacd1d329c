// The XML object's state, shared by the object, reader and writer sources of the module.
#pragma once

#include <cstdint>

#include "core/formats/xml.h"

struct XmlLevel {
    uint32_t Type;
    char Key[XML_KEY_TEXT_SIZE];
    // The Dictionary this level fills (an element's own), and that element's item in its parent.
    Dictionary* Container;
    DictionaryItem* Item;
    // The element is open but not stored yet: an element whose only content is one text is
    // stored as a String at its end tag, without a Dictionary made and dropped for it.
    uint32_t Pending;
};

struct XML {
    Class Header;
    ClassPrint Print;
    XmlLevel Levels[XML_MAX_LEVELS];
    int32_t Top;
    uint32_t Substate;
    uint32_t State;
    uint32_t Error;
    uint64_t StreamPosition;
    uint32_t Regular;
    // Token text, NUL-terminated.
    char* Token;
    int32_t TokenLength;
    int32_t TokenCapacity;
    Dictionary* Dict;
    uint32_t Minify;
    void* CallbackUser;
    XmlValueCallback Callback;
    // Scanner details beyond the level model: the current tag is an end tag, the bytes still
    // expected to complete a UTF-8 sequence and the range the next one must fall in, the token
    // holds a byte other than white space (for text), the tag has at least one byte of name.
    uint32_t EndTag;
    uint32_t Utf8Need;
    uint8_t Utf8Low;
    uint8_t Utf8High;
    uint32_t Trace;
    uint32_t Started;
    // The text of the pending element (only the innermost open element can be pending).
    char* PendingText;
    int32_t PendingTextLength;
    int32_t PendingTextCapacity;
    uint32_t HasPendingText;
    // Keep-text mode: an element's text that is its whole content is kept exactly as written,
    // white space at its ends included, and an empty one is an empty String. Text met before a
    // tag waits here until the tag's name shows whether it ends that element.
    uint32_t KeepText;
    char* HeldText;
    int32_t HeldTextLength;
    int32_t HeldTextCapacity;
    uint32_t HasHeldText;
};

// Scans a run of bytes; stops early once an error is recorded.
void XML_ScanBytes(XML* xml, const uint8_t* bytes, uint32_t length);
// Called at the end of the input; 1 when the document is complete and no error is recorded.
int64_t XML_ScanFinish(XML* xml);
void XML_ResetState(XML* xml);
// The item is element text: "#text", which a Dictionary with private keys holds as the private
// key "text".
bool XML_IsTextItem(Dictionary* dict, DictionaryItem* item);
