// The mode a completed file is left with, whatever run came before. A generator over the ways a
// manifest gives a file's attributes (none, 0, executable), for the installed version and for the
// version an update brings, with the file's bytes kept or changed: the update runs whole, then is
// cut at each of its calls that change the disk in turn as a kill would leave it (a cut at an open
// that creates nothing leaves what one at the next such call leaves), and a fresh run synchronises the
// installed version or the new one. Each file's bytes and mode are checked against a model: the
// mode a run never cut gives, executable (0711) where the version says so and that of a new file
// (0600) elsewhere; a mode the user gave a file no manifest gives attributes stays, but for the
// executable bits a run that repairs a stopped one clears.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/repository/storage_call_faults.h"

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new WebGetNetEnvironment);

enum class Attr { None, Zero, Exec };
const char* const kAttrNames[] = {"no attr", "attr 0", "attr 4"};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

unsigned ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? (unsigned)(info.st_mode & 07777) : 0u;
}

// The mode a run that was never cut leaves on a file the storage made.
unsigned Made(Attr attr) { return attr == Attr::Exec ? 0711u : 0600u; }

// The mode the user gives `u`, which no version gives attributes; and what a repair leaves of it.
constexpr unsigned kUserMode = 0755, kUserRepaired = 0644;

// A version of the remote: its files' bytes, the attributes it lists for some ("0" or "4"; none
// for the others), and its link entries (name to target).
struct Release {
    std::string id;
    std::map<std::string, std::string> files, attrs, links;
};

Attr AttrOf(const Release& v, const std::string& name) {
    const auto found = v.attrs.find(name);
    return found == v.attrs.end() ? Attr::None : found->second == "4" ? Attr::Exec : Attr::Zero;
}

class StorageModesTest : public FaultedRepositoryFixture {
  protected:
    std::string remoteId = "v1";
    bool full = getenv("QVR_MODES_FULL") != nullptr;

    void SetUp() override {
        FaultedRepositoryFixture::SetUp();
        shortPasses = true;
        asTask = true;
        // Each walk cuts the calls that change the disk: the record's walk of its reserved names
        // opens dozens that do not, each cut there leaving what one at the next change leaves.
        g_calls.everyOpen = false;
        umask(022);
    }
    void ConfigureRun() override {
        Configure("state/local.json", "",
                  "\"remote.id\":\"" + remoteId + "\",\"remote.metafile\":\"" + Root() + "/remote.json\"");
    }

    // Writes the remote's folder and manifest at v, kept aside under the version's id.
    void Build(const Release& v) {
        RepositoryFixture::Version(v.id, v.files);
        std::string attrs, links;
        for (const auto& [name, attr] : v.attrs) attrs += "'" + name + "':" + attr + ",";
        for (const auto& [name, target] : v.links) links += "'" + name + "':'" + target + "',";
        std::ofstream(Root() + "/patch.py")
            << "import json,sys\np=sys.argv[1]\nm=json.load(open(p))\nA={" << attrs << "}\nL={" << links
            << "}\n[f.__setitem__('attr',A[f['name']]) for f in m['files'] if f['name'] in A]\n"
               "m['files']+=[{'name':n,'size':0,'attr':8,'link':t} for n,t in L.items()]\n"
               "json.dump(m,open(p,'w'))\n";
        const std::string kept = Root() + "/kept-" + v.id;
        ASSERT_EQ(Shell("/usr/bin/python3 " + Root() + "/patch.py " + Root() + "/remote.json && rm -rf " + kept +
                        " && mv " + Root() + "/remote " + kept + " && mv " + Root() + "/remote.json " + kept + ".json"),
                  0);
    }
    // The remote at v (built before).
    void Remote(const Release& v) {
        namespace fs = std::filesystem;
        remoteId = v.id;
        const std::string kept = Root() + "/kept-" + v.id;
        fs::remove_all(Root() + "/remote");
        fs::copy(kept, Root() + "/remote", fs::copy_options::recursive);
        fs::copy_file(kept + ".json", Root() + "/remote.json", fs::copy_options::overwrite_existing);
    }

    // A run that said success left exactly the version: its files' bytes, its links, nothing else
    // in the folder (no copy, record or folder of another version), its manifest, and the model's
    // modes for `a` and `u`.
    void ExpectExactly(const Release& v, bool repaired, const std::string& where) {
        namespace fs = std::filesystem;
        const std::string local = Root() + "/local/";
        std::map<std::string, std::string> found, wanted;
        for (const auto& entry : fs::recursive_directory_iterator(local)) {
            const std::string name = entry.path().lexically_relative(Root() + "/local").string();
            if (entry.is_symlink()) found[name] = "link " + fs::read_symlink(entry.path()).string();
            else if (entry.is_directory()) found[name + "/"] = "";
            else found[name] = Slurp(entry.path().string());
        }
        for (const auto& [name, bytes] : v.files) wanted[name] = bytes;
        for (const auto& [name, target] : v.links) wanted[name] = "link " + target;
        for (const auto& [name, what] : std::map<std::string, std::string>(wanted))
            for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
                wanted[name.substr(0, slash + 1)] = "";
        for (const auto& [name, what] : wanted)
            EXPECT_TRUE(found.count(name) && found[name] == what)
                << name << " not as listed, " << where << printed.Text;
        for (const auto& [name, what] : found) EXPECT_TRUE(wanted.count(name)) << name << " left, " << where;
        EXPECT_EQ(Slurp(Root() + "/state/local.json"), Slurp(Root() + "/remote.json")) << where;
        if (v.files.count("a")) {
            EXPECT_EQ(ModeOf(local + "a"), Made(AttrOf(v, "a"))) << where;
        }
        if (v.files.count("u")) {
            EXPECT_EQ(ModeOf(local + "u"), repaired ? kUserRepaired : kUserMode) << where;
        }
    }

    // One run of the remote at v, not faulted: it says success and leaves v exactly.
    void Completes(const Release& v, const std::string& where) {
        Remote(v);
        ArmCalls(CallMode::Count, -1);
        printed.Text.clear();
        ASSERT_TRUE(RunFaulted()) << where << printed.Text;
        const bool repaired = printed.Text.find("Installation left unfinished by a stopped run") != std::string::npos;
        ExpectExactly(v, repaired, where);
    }

    // The steps cut of a run that makes `total` calls, with the version synchronised after each:
    // every step to both with QVR_MODES_FULL=1; by default every step (`dense`) or a stride from a
    // point, and one version in turn, moved on by `seed` so that the walks of a generator cover
    // what one leaves out.
    bool dense = false;
    std::vector<std::pair<long, int>> Steps(long total, int seed) {
        std::vector<std::pair<long, int>> steps;
        const long stride = full || dense ? 1 : std::max(1L, total / 5);
        for (long n = 1 + seed % stride; n <= total; n += stride)
            for (int target = 0; target < 2; target++)
                if (full || (n / stride + seed + target) % 2 == 0) steps.push_back({n, target});
        return steps;
    }

    // v1 installed (the user gives `u` a mode of their own), the update to v2 whole, the remote back
    // to v1; then the update cut at each step and synchronised to v1 or v2.
    void Walk(const Release& v1, const Release& v2, const std::string& name, int seed) {
        SCOPED_TRACE(name);
        Shell("rm -rf " + Root() + "/local " + Root() + "/state");
        Build(v1);
        Build(v2);
        StorageFileOS_SetCalls(&kWrappedCalls);
        Remote(v1);
        ArmCalls(CallMode::Count, -1);
        ASSERT_TRUE(RunFaulted()) << printed.Text;
        chmod((Root() + "/local/u").c_str(), kUserMode);
        Snapshot();
        Completes(v2, "whole update");
        const long total = g_calls.calls;
        ASSERT_GT(total, 4);
        Completes(v1, "whole update, then back");
        for (const auto& [n, to] : Steps(total, seed)) {
            const Release& target = to ? v2 : v1;
            const std::string where =
                "cut at call " + std::to_string(n) + "/" + std::to_string(total) + ", then " + target.id;
            Restore();
            Remote(v2);
            ArmCalls(CallMode::Cut, n);
            RunFaulted();
            Completes(target, where);
            if (HasFailure()) return;
        }
    }
};

TEST_F(StorageModesTest, AnUpdateCutAtAnyCallLeavesTheModesAWholeRunGives) {
    const std::string a1 = Content(40, 1), a2 = Content(40, 2), u1 = Content(20, 3), u2 = Content(24, 4);
    int seed = 0;
    for (const Attr from : {Attr::None, Attr::Zero, Attr::Exec})
        for (const Attr to : {Attr::None, Attr::Zero, Attr::Exec})
            for (const bool same : {true, false}) {
                const std::string name = std::string(kAttrNames[(int)from]) + " to " + kAttrNames[(int)to] +
                                         (same ? ", same bytes" : ", new bytes");
                const std::string attrs[] = {"", "0", "4"};
                Release v1{"v1", {{"a", a1}, {"u", u1}}, {}, {}}, v2{"v2", {{"a", same ? a1 : a2}, {"u", u2}}, {}, {}};
                if (from != Attr::None) v1.attrs["a"] = attrs[(int)from];
                if (to != Attr::None) v2.attrs["a"] = attrs[(int)to];
                Walk(v1, v2, name, seed++);
                if (HasFailure()) return;
            }
}

// A link entry is made where the manifest lists it, its folders too, in place of a file of the
// installed version or replaced by one; copies made unnamed or, as where the file system cannot,
// under a scratch name first: a cut at any call of such an update leaves nothing the next run, of
// either version, does not make exactly as listed.
TEST_F(StorageModesTest, AnUpdateCutAtAnyCallLeavesNoLinkNorFolderOfAVersionNeverInstalled) {
    const std::string a = Content(40, 1), b = Content(20, 2), c = Content(24, 3);
    const Release plain{"v1", {{"a", a}, {"u", b}}, {}, {}};
    const Release linked{"v2", {{"a", a}, {"u", c}}, {}, {{"L", "a"}, {"d/e/M", "../../a"}}};
    const Release file{"v1", {{"a", a}, {"u", b}, {"L", c}, {"d/e/M", b}}, {}, {}};
    Release back = file, was = linked;
    back.id = "v2";
    was.id = "v1";
    int seed = 0;
    dense = true;
    for (const uint32_t unnamed : {1u, 0u}) {
        StorageFileOS_SetUnnamedCopies(unnamed);
        for (const auto& [from, to, name] : {std::tuple{&plain, &linked, "nothing to link"},
                                             {&file, &linked, "file to link"}, {&was, &back, "link to file"}}) {
            // Named copies make no link otherwise: one walk, whose copies replace links, covers them.
            if (!unnamed && from != &was) continue;
            Walk(*from, *to, std::string(name) + (unnamed ? "" : ", named copies"), seed++);
            if (HasFailure()) break;
        }
    }
    StorageFileOS_SetUnnamedCopies(1);
}

} // namespace
