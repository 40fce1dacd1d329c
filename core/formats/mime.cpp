// MIME type table: the built-in rows kept in a list sorted by the CRC-32 of the upper-cased
// extension, so a lookup compares one 32-bit key per entry and a miss stops early.
#include "core/formats/mime.h"

#include <cstring>

#include "core/crypto/hash.h"
#include "core/formats/crc.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"

namespace {

struct MIMEConfig {
    const char* Extension;
    const char* Type;
    const char* Subtype;
};

const MIMEConfig MIMEConfigList[] = {
    {"asc", "text", "plain"},
    {"c", "text", "plain"},
    {"cpp", "text", "plain"},
    {"css", "text", "css"},
    {"etx", "text", "x-setext"},
    {"h", "text", "plain"},
    {"hpp", "text", "plain"},
    {"htc", "text", "x-component"},
    {"htm", "text", "html"},
    {"html", "text", "html"},
    {"nfo", "text", "plain"},
    {"rtf", "text", "rtf"},
    {"rtx", "text", "richtext"},
    {"sgm", "text", "sgml"},
    {"sgml", "text", "sgml"},
    {"shtm", "text", "html"},
    {"shtml", "text", "html"},
    {"tsv", "text", "tab-separated-values"},
    {"txt", "text", "plain"},
    {"yaml", "text", "x-yaml"},
    {"yml", "text", "x-yaml"},
    {"bmp", "image", "bmp"},
    {"cgm", "image", "cgm"},
    {"cmx", "image", "x-cmx"},
    {"gif", "image", "gif"},
    {"ief", "image", "ief"},
    {"jfif", "image", "jpeg"},
    {"jpe", "image", "jpeg"},
    {"jpeg", "image", "jpeg"},
    {"jpg", "image", "jpeg"},
    {"pbm", "image", "x-portable-bitmap"},
    {"pgm", "image", "x-portable-graymap"},
    {"png", "image", "png"},
    {"pnm", "image", "x-portable-anymap"},
    {"ppm", "image", "x-portable-pixmap"},
    {"ras", "image", "x-cmu-raster"},
    {"rgb", "image", "x-rgb"},
    {"svg", "image", "svg+xml"},
    {"tif", "image", "tiff"},
    {"tiff", "image", "tiff"},
    {"xbm", "image", "x-xbitmap"},
    {"xpm", "image", "x-xpixmap"},
    {"xwd", "image", "x-xwindowdump"},
    {"aif", "audio", "x-aiff"},
    {"aifc", "audio", "x-aiff"},
    {"aiff", "audio", "x-aiff"},
    {"au", "audio", "basic"},
    {"kar", "audio", "midi"},
    {"m3u", "audio", "x-mpegurl"},
    {"mid", "audio", "midi"},
    {"midi", "audio", "midi"},
    {"mp2", "audio", "mpeg"},
    {"mp3", "audio", "mpeg"},
    {"mp3url", "audio", "x-mpegurl"},
    {"mpga", "audio", "mpeg"},
    {"pls", "audio", "x-scpls"},
    {"ra", "audio", "x-pn-realaudio"},
    {"ram", "audio", "x-pn-realaudio"},
    {"rm", "audio", "x-pn-realaudio"},
    {"rpm", "audio", "x-pn-realaudio-plugin"},
    {"snd", "audio", "basic"},
    {"stream", "audio", "x-qt-stream"},
    {"wav", "audio", "wav"},
    {"wax", "audio", "x-ms-wax"},
    {"wma", "audio", "x-ms-wma"},
    {"asf", "video", "x-ms-asf"},
    {"asx", "video", "x-ms-asf"},
    {"avi", "video", "x-msvideo"},
    {"mov", "video", "quicktime"},
    {"movie", "video", "x-sgi-movie"},
    {"mpe", "video", "mpeg"},
    {"mpeg", "video", "mpeg"},
    {"mpg", "video", "mpeg"},
    {"mv", "video", "x-sgi-movie"},
    {"qt", "video", "quicktime"},
    {"viv", "video", "vnd.vivo"},
    {"vx", "video", "x-rad-screenplay"},
    {"wm", "video", "x-ms-wm"},
    {"wmv", "video", "x-ms-wmv"},
    {"wmx", "video", "x-ms-wmx"},
    {"wvx", "video", "x-ms-wvx"},
    {"a", "application", "octet-stream"},
    {"aam", "application", "x-authorware-map"},
    {"aas", "application", "x-authorware-seg"},
    {"ai", "application", "postscript"},
    {"atom", "application", "atom+xml"},
    {"bat", "application", "x-msdownload"},
    {"bcpio", "application", "x-bcpio"},
    {"bin", "application", "octet-stream"},
    {"cdf", "application", "x-netcdf"},
    {"cip", "application", "x-cip"},
    {"class", "application", "octet-stream"},
    {"cpio", "application", "x-cpio"},
    {"cpt", "application", "mac-compactpro"},
    {"csh", "application", "x-csh"},
    {"dcr", "application", "x-director"},
    {"dir", "application", "x-director"},
    {"dll", "application", "octet-stream"},
    {"dmg", "application", "octet-stream"},
    {"dms", "application", "octet-stream"},
    {"doc", "application", "msword"},
    {"dump", "application", "octet-stream"},
    {"dvi", "application", "x-dvi"},
    {"dxr", "application", "x-director"},
    {"eps", "application", "postscript"},
    {"exe", "application", "octet-stream"},
    {"ez", "application", "andrew-inset"},
    {"fgd", "application", "x-director"},
    {"gram", "application", "srgs"},
    {"grxml", "application", "srgs+xml"},
    {"gtar", "application", "x-gtar"},
    {"gz", "application", "x-gzip"},
    {"hdf", "application", "x-hdf"},
    {"hqx", "application", "mac-binhex40"},
    {"iv", "application", "x-inventor"},
    {"js", "application", "x-javascript"},
    {"json", "application", "json"},
    {"latex", "application", "x-latex"},
    {"lha", "application", "octet-stream"},
    {"lzh", "application", "octet-stream"},
    {"man", "application", "x-troff-man"},
    {"mathml", "application", "mathml+xml"},
    {"me", "application", "x-troff-me"},
    {"mif", "application", "vnd.mif"},
    {"ms", "application", "x-troff-ms"},
    {"nc", "application", "x-netcdf"},
    {"o", "application", "octet-stream"},
    {"oda", "application", "oda"},
    {"ogg", "application", "ogg"},
    {"pac", "application", "x-ns-proxy-autoconfig"},
    {"pdf", "application", "pdf"},
    {"pgn", "application", "x-chess-pgn"},
    {"phps", "application", "x-httpd-php-source"},
    {"phtml", "application", "x-httpd-php"},
    {"ppt", "application", "vnd.ms-powerpoint"},
    {"ps", "application", "postscript"},
    {"rdf", "application", "rdf+xml"},
    {"roff", "application", "x-troff"},
    {"sea", "application", "x-sea"},
    {"sh", "application", "x-sh"},
    {"shar", "application", "x-shar"},
    {"sit", "application", "x-stuffit"},
    {"skd", "application", "x-koan"},
    {"skm", "application", "x-koan"},
    {"skp", "application", "x-koan"},
    {"skt", "application", "x-koan"},
    {"smi", "application", "smil"},
    {"smil", "application", "smil"},
    {"so", "application", "octet-stream"},
    {"spl", "application", "x-futuresplash"},
    {"spr", "application", "x-sprite"},
    {"sprite", "application", "x-sprite"},
    {"src", "application", "x-wais-source"},
    {"sv4cpio", "application", "x-sv4cpio"},
    {"sv4crc", "application", "x-sv4crc"},
    {"swf", "application", "x-shockwave-flash"},
    {"t", "application", "x-troff"},
    {"tar", "application", "x-tar"},
    {"tcl", "application", "x-tcl"},
    {"tex", "application", "x-tex"},
    {"texi", "application", "x-texinfo"},
    {"texinfo", "application", "x-texinfo"},
    {"tr", "application", "x-troff"},
    {"tsp", "application", "dsptype"},
    {"ustar", "application", "x-ustar"},
    {"vcd", "application", "x-cdlink"},
    {"vmd", "application", "vocaltec-media-desc"},
    {"vmf", "application", "vocaltec-media-file"},
    {"wg", "application", "x-wg"},
    {"wmd", "application", "x-ms-wmd"},
    {"wmp", "application", "x-ms-wmp"},
    {"wmz", "application", "x-ms-wmz"},
    {"wp", "application", "wordperfect"},
    {"wp5", "application", "wordperfect5.1"},
    {"wp6", "application", "wordperfect"},
    {"wsrc", "application", "x-wais-source"},
    {"xls", "application", "vnd.ms-excel"},
    {"xml", "application", "xml"},
    {"xul", "application", "vnd.mozilla.xul+xml"},
    {"z", "application", "x-compress"},
    {"zip", "application", "zip"},
    {"mime", "message", "rfc822"},
    {"iges", "model", "iges"},
    {"igs", "model", "iges"},
    {"mesh", "model", "mesh"},
    {"msh", "model", "mesh"},
    {"silo", "model", "mesh"},
    {"vrml", "model", "vrml"},
    {"wrl", "model", "vrml"},
    {"eot", "application", "vnd.ms-fontobject"},
    {"otf", "font", "otf"},
    {"ttf", "font", "ttf"},
    {"woff", "application", "x-font-woff"},
};

constexpr int32_t kExtensionCapacity = 10;
constexpr int32_t kTypeCapacity = 40;
constexpr int32_t kSubtypeCapacity = 82;

struct MIMEEntry {
    uint32_t ClassId;
    uint32_t Key;
    char Extension[kExtensionCapacity];
    char Type[kTypeCapacity];
    char Subtype[kSubtypeCapacity];
    MIMEEntry* Next;
    MIMEEntry* Previous;
};

struct MIMETable {
    uint32_t ClassId;
    MIMEEntry* Head;
    MIMEEntry* Tail;
    int32_t Count;
    Pool* Entries;
};

MIMETable Table;
MIMETable* GlobalMIME = nullptr;

constexpr const char* kDefaultType = "application";
constexpr const char* kDefaultSubtype = "octet-stream";

// The CRC-32 of the extension with ASCII a to z upper-cased, read as a number from the
// big-endian digest, so html and HTML share a key.
uint32_t KeyOf(const char* extension, int32_t length) {
    uint8_t digest[CRC_DIGEST_SIZE] = {};
    Hash_QuickDigest2(&CRC_INTERFACE, extension, length, 0, digest, CRC_DIGEST_SIZE);
    return (uint32_t)digest[0] << 24 | (uint32_t)digest[1] << 16 | (uint32_t)digest[2] << 8 | digest[3];
}

void Insert(MIMETable* t, MIMEEntry* e) {
    if (!t->Head) {
        t->Head = t->Tail = e;
    } else if (e->Key < t->Head->Key) {
        e->Next = t->Head;
        t->Head->Previous = e;
        t->Head = e;
    } else {
        MIMEEntry* after = t->Tail;
        while (after->Key > e->Key) after = after->Previous;
        if (after->Key == e->Key)
            Debug_AbortInt(__FILE__, __LINE__, "Matching quick CRC's (%s) and (%s)", after->Extension,
                           e->Extension);
        e->Previous = after;
        e->Next = after->Next;
        if (after->Next)
            after->Next->Previous = e;
        else
            t->Tail = e;
        after->Next = e;
    }
    t->Count++;
}

bool EqualWithoutCase(const char* a, const char* b, int32_t length) {
    for (int32_t i = 0; i < length; i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = (char)(x - 32);
        if (y >= 'a' && y <= 'z') y = (char)(y - 32);
        if (x != y || y == 0) return false;
    }
    return b[length] == 0;
}

} // namespace

int64_t MIME_Init() {
    ASSERT_MSG(GlobalMIME == NULL, "MIME already initialized");
    MIMETable* t = &Table;
    memset(t, 0, sizeof(*t));
    t->ClassId = MIME_CLASS_ID;
    Pool_Create(&t->Entries);
    Pool_SetMemorySize(t->Entries, sizeof(MIMEEntry));
    Pool_SetChunkSize(t->Entries, 250);
    for (const MIMEConfig& row : MIMEConfigList) {
        MIMEEntry* e = static_cast<MIMEEntry*>(Pool_Alloc(t->Entries, sizeof(MIMEEntry)));
        memset(e, 0, sizeof(*e));
        e->ClassId = MIME_CLASS_ID;
        String_CopyLengthSafe(e->Extension, kExtensionCapacity, row.Extension, kExtensionCapacity - 1);
        String_CopyLengthSafe(e->Type, kTypeCapacity, row.Type, kTypeCapacity - 1);
        String_CopyLengthSafe(e->Subtype, kSubtypeCapacity, row.Subtype, kSubtypeCapacity - 1);
        e->Key = KeyOf(e->Extension, (int32_t)strlen(e->Extension));
        Insert(t, e);
    }
    GlobalMIME = t;
    return 1;
}

int64_t MIME_Find(const char* fileName, const char** type, const char** subtype) {
    ASSERT_POINTER(fileName);
    ASSERT_POINTER(type);
    ASSERT_POINTER(subtype);
    *type = kDefaultType;
    *subtype = kDefaultSubtype;
    int32_t length = (int32_t)strnlen(fileName, 0x7FFFFFF0);
    int32_t dot = -1;
    for (int32_t i = length - 1; i >= 0; i--) {
        char c = fileName[i];
        if (c == '.') {
            dot = i;
            break;
        }
        if (c == '/' || c == ':' || c == '\\') return 0;
    }
    if (dot < 0 || dot == length - 1) return 0;
    if (!GlobalMIME) return 0;
    const char* extension = fileName + dot + 1;
    int32_t extensionLength = length - dot - 1;
    uint32_t key = KeyOf(extension, extensionLength);
    for (MIMEEntry* e = GlobalMIME->Head; e; e = e->Next) {
        if (e->Key > key) return 0;
        // The key alone could match a long unknown extension by chance; the text decides.
        if (e->Key == key && EqualWithoutCase(extension, e->Extension, extensionLength)) {
            *type = e->Type;
            *subtype = e->Subtype;
            return 1;
        }
    }
    return 0;
}

int64_t MIME_Remove() {
    MIMETable* t = GlobalMIME;
    if (!t) return 1;
    GlobalMIME = nullptr;
    Pool_RemoveAll(t->Entries);
    Pool_Delete(&t->Entries);
    t->Head = t->Tail = nullptr;
    t->Count = 0;
    return 1;
}
