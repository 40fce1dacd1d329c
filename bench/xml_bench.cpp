// Speed of the XML reader on a generated 20 MB document, beside libxml2 (xmlReadMemory building its
// tree) and pugixml (load_buffer) on the same text in the same run, when they are installed. Each
// load builds the whole tree and frees it in the loop, as the peers free theirs, and each side pays
// its own heap clean-up (malloc_trim) inside its timing: blocks one side freed would otherwise be
// merged on the other's clock. libxml2 drops blank text nodes and keeps short texts in its nodes,
// as our reader does.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>

#include "bench/peer_ratio.h"

#include "core/formats/xml.h"
#include "core/runtime/dictionary.h"

#ifdef QVR_HAVE_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif
#ifdef QVR_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

namespace {

// Records of mixed content (attributes, text-only elements, repeated elements, references,
// non-ASCII text and an empty element) until the text reaches `megabytes`.
std::string MakeDocument(size_t megabytes) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n";
    s.reserve((megabytes + 1) << 20);
    for (int i = 0; s.size() < (megabytes << 20); i++) {
        s += "  <item id=\"" + std::to_string(i) + "\" kind=\"k" + std::to_string(i % 7) + "\">\n";
        s += "    <name>user name " + std::to_string(i * 7919) + "</name>\n";
        s += "    <score>" + std::to_string(i % 1000) + "." + std::to_string(i % 97) + "</score>\n";
        s += "    <text>caf\xC3\xA9 &quot;quoted&quot; &amp; &lt;escaped&gt; text</text>\n";
        s += "    <tags><tag>alpha</tag><tag>beta</tag><tag>gamma</tag></tags>\n";
        s += "    <pos x=\"" + std::to_string(i % 640) + "\" y=\"" + std::to_string(i % 480) + "\"/>\n";
        s += "  </item>\n";
    }
    s += "</catalog>\n";
    return s;
}

const std::string& Document() {
    static const std::string text = MakeDocument(20);
    return text;
}

void BM_OurLoad(benchmark::State& state) {
    const std::string& text = Document();
    XML* xml = nullptr;
    XML_Create(&xml);
    for (auto _ : state) {
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        XML_SetDictionaryHandle(xml, dict);
        if (XML_LoadBuffer(xml, text.data(), (uint32_t)text.size()) != 1) state.SkipWithError("load failed");
        XML_SetDictionaryHandle(xml, nullptr);
        Dictionary_Release(&dict);
        malloc_trim(0);
    }
    XML_Delete(&xml);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_OurLoad)->Unit(benchmark::kMillisecond);

#ifdef QVR_HAVE_LIBXML2
void BM_Libxml2Load(benchmark::State& state) {
    const std::string& text = Document();
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(text.data(), (int)text.size(), "bench.xml", nullptr,
                                       XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_COMPACT);
        if (!doc) state.SkipWithError("load failed");
        xmlFreeDoc(doc);
        malloc_trim(0);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_Libxml2Load)->Unit(benchmark::kMillisecond);
PEER_RATIO("load vs libxml2", "BM_OurLoad", "BM_Libxml2Load");
#endif

#ifdef QVR_HAVE_PUGIXML
void BM_PugixmlLoad(benchmark::State& state) {
    const std::string& text = Document();
    for (auto _ : state) {
        {
            pugi::xml_document doc;
            if (!doc.load_buffer(text.data(), text.size())) state.SkipWithError("load failed");
        }
        malloc_trim(0);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_PugixmlLoad)->Unit(benchmark::kMillisecond);
PEER_RATIO("load vs pugixml", "BM_OurLoad", "BM_PugixmlLoad");
#endif

} // namespace

PEER_RATIO_MAIN()
