#include "cli/ovpatch.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <fstream>
#include <sstream>

#include "container/patch_container.h"
#include "e2e/harness/patch_mutator.h"
#include "maker/descriptor_builder.h"
#include "support/encoding.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out, err;
};

Result Ovpatch(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = ovpatch::Run(args, out, err);
    return {code, out.str(), err.str()};
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A folder with an image, an archive and the shipped language file, removed afterwards.
struct Folder {
    fs::path dir = fs::temp_directory_path() / ("ovpatch_test_" + std::to_string(getpid()));
    std::string image = std::string("MZ") + std::string(3000, '\x90');
    std::string archive = std::string("7z\xBC\xAF\x27\x1C", 6) + std::string(500, 'a');
    Folder() {
        fs::remove_all(dir);
        fs::create_directories(dir / "out");
        Write(dir / "OVPatcher.exe", image);
        Write(dir / "data.7z", archive);
        fs::copy_file(fs::path(OV_SOURCE_DIR) / "src/maker/PatchLang.xml", dir / "PatchLang.xml");
    }
    ~Folder() { fs::remove_all(dir); }
    std::string P(const std::string& name) const { return (dir / name).string(); }
    std::vector<std::string> Build(std::vector<std::string> more) const {
        std::vector<std::string> args = {"build", "--image", P("OVPatcher.exe"), "--archive", P("data.7z"),
                                         "-o",    P("out")};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    size_t OutputCount() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()));
    }
};

std::wstring LangText() {
    return mStringTools::Utf8BytesToText(Read(fs::path(OV_SOURCE_DIR) / "src/maker/PatchLang.xml"));
}

TEST(Ovpatch, BuildsWhatTheMakerBuildsFromASettingsFileAndOptions) {
    Folder f;
    Write(f.dir / "patch.conf",
          "# a comment\nsuite-version = 5.8\npatch-version = 20141114055922\nlang = en\n"
          "update-info = <EN>Fixes:\\n- the menu</EN>\nupdate-info = <FR>Corrections :\\n- le menu \xC3\xA9</FR>\n"
          "run-after = a.exe\nrun-after = b.exe\n");
    const Result r =
        Ovpatch(f.Build({"--settings", f.P("patch.conf"), "--force-menu-restart", "--run-after", "c.exe"}));
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    const fs::path output = f.dir / "out" / "orv_20141114055922_EN.exe";
    EXPECT_EQ(r.out, output.string() + "\n");
    EXPECT_NE(r.err.find("sign.bat is never run"), std::string::npos);

    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.8";
    s.PatchVersion = L"20141114055922";
    s.LangName = L"EN";
    s.UpdateInfo = L"<EN>Fixes:\\n- the menu</EN>\r\n<FR>Corrections :\\n- le menu \u00e9</FR>";
    s.ForceMenuRestart = true;
    s.RunAtEnd = L"c.exe";  // the option replaces the file's list
    EXPECT_TRUE(Read(output) ==
                mGlobal::BuildPatch(f.image, f.archive,
                                    mStringTools::TextToUtf8Bytes(frmMaker::BuildDescriptor(s, LangText()))));

    // Rebuilt from the patch: what a drop imports ("\n" comes back as a line break), with a new
    // identifier and no language restriction.
    const Result again = Ovpatch(f.Build({"--from", output.string(), "--patch-version", "2", "--all-languages"}));
    ASSERT_EQ(again.code, ovpatch::kOk) << again.err;
    const Result shown = Ovpatch({"inspect", (f.dir / "out" / "orv_2_MultiLng.exe").string()});
    ASSERT_EQ(shown.code, ovpatch::kOk) << shown.err;
    for (const char* line : {"archive:     506 bytes at 3002", "  ORVVersion: 5.8", "  ForceMenuRestart: 1",
                             "  UpdateInfo: <EN>Fixes:\u240D\u240A- the menu</EN>\u240D\u240A<FR>", "  RunAfter: c.exe",
                             "  PatchLang: \n", "languages:   2", "  FR: ", "  EN: "})
        EXPECT_NE(shown.out.find(line), std::string::npos) << line << "\n" << shown.out;
}

TEST(Ovpatch, RefusalsAndBadInputHaveTheirOwnCodesAndLeaveNothing) {
    Folder f;
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {f.Build({}), ovpatch::kUsage, "--suite-version is required"},
        {f.Build({"--suite-version", "5.8", "--lang", "DE"}), ovpatch::kUsage, "not in the language file (FR, EN)"},
        {f.Build({"--suite-version", "5.8", "--patch-version", "50%"}), ovpatch::kRefused, "not a usable file name"},
        {f.Build({"--suite-version", "5.8", "--patch-version", "a/b"}), ovpatch::kRefused, "not a usable file name"},
        {f.Build({"--suite-version", "5.8", "--langs", f.P("none.xml")}), ovpatch::kUnreadable, "none.xml"},
        {f.Build({"--suite-version", "5.8", "--from", f.P("data.7z")}), ovpatch::kNotAPatch, "is not a patch"},
        {f.Build({"--suite-version", "5.8", "--bogus", "1"}), ovpatch::kUsage, "unknown option --bogus"},
        {{"build", "--image", f.P("OVPatcher.exe"), "--archive", f.P("data.7z"), "-o", f.P("missing")},
         ovpatch::kWriteFailed,
         "does not exist"},
        {{"inspect", f.P("data.7z")}, ovpatch::kNotAPatch, "no OVPATCHEND marker"},
        {{"inspect", f.P("missing.exe")}, ovpatch::kUnreadable, "cannot read"},
        {{"frobnicate"}, ovpatch::kUsage, "unknown command"},
    };
    for (const Case& c : cases) {
        const Result r = Ovpatch(c.args);
        EXPECT_EQ(r.code, c.code) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // The output that would be the image or the archive, and an empty archive.
    Write(f.dir / "out" / "orv_1_FR.exe", f.image);
    Result r = Ovpatch({"build", "--image", f.P("out/orv_1_FR.exe"), "--archive", f.P("data.7z"), "-o", f.P("out"),
                        "--langs", f.P("PatchLang.xml"), "--suite-version", "5.8", "--patch-version", "1"});
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("is the image itself"), std::string::npos) << r.err;
    Write(f.dir / "data.7z", "");
    r = Ovpatch(f.Build({"--suite-version", "5.8"}));
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("the archive is empty"), std::string::npos) << r.err;
    EXPECT_EQ(f.OutputCount(), 1u);  // no partial patch, no temporary file
    EXPECT_EQ(Read(f.dir / "out" / "orv_1_FR.exe"), f.image);
}

// Whatever the damage, inspect ends with a verdict: a valid patch or "not a patch", never a crash (the
// native tests run under the address and undefined-behaviour sanitizers).
TEST(Ovpatch, InspectGivesAVerdictOnEveryDamagedPatch) {
    Folder f;
    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.8";
    s.PatchVersion = L"20141114055922";
    s.LangName = L"FR";
    s.UpdateInfo = L"<EN>one</EN><FR>un</FR>";
    s.RunAtEnd = L"a.exe";
    const std::string descriptor = mStringTools::TextToUtf8Bytes(frmMaker::BuildDescriptor(s, LangText()));
    mutation::Layout valid;
    valid.bytes = mGlobal::BuildPatch(f.image, f.archive, descriptor);
    valid.imageSize = f.image.size();
    valid.archiveSize = f.archive.size();
    valid.descriptorSize = descriptor.size();
    const std::string path = f.P("mutant.exe");
    int refused = 0;
    for (uint64_t i = 0; i < 300; ++i) {
        mutation::Mutator mutator(valid, descriptor, 20141114055922ull * 1000003ull + i);
        const mutation::Mutant m = mutator.Make();
        Write(path, m.bytes);
        const Result r = Ovpatch({"inspect", path});
        const std::string what = std::to_string(i) + ": " + mutation::KindName(m.kind) + ", " + m.note;
        ASSERT_TRUE(r.code == ovpatch::kOk || r.code == ovpatch::kNotAPatch) << what << ": " << r.err;
        if (r.code == ovpatch::kNotAPatch) {
            ++refused;
            EXPECT_NE(r.err.find("is not a valid patch: "), std::string::npos) << what;
        }
        if (m.kind == mutation::Kind::TruncatePayload || m.kind == mutation::Kind::MarkerDamaged) {
            EXPECT_EQ(r.code, ovpatch::kNotAPatch) << what;
        }
    }
    EXPECT_GT(refused, 50);
}

}  // namespace

// Two releases of an installation, a patch made from them, and the plan of that patch on a copy of OLD.
struct Releases : Folder {
    Releases() {
        const auto file = [&](const std::string& tree, const std::string& relative, const std::string& bytes) {
            fs::create_directories((dir / tree / relative).parent_path());
            Write(dir / tree / relative, bytes);
        };
        for (const char* tree : {"old", "new"}) {
            file(tree, "Orvana.exe", "MZ");
            file(tree, "OrvanaTools/Installer/7z.exe", "7z");
            file(tree, "OrvanaTools/Installer/7z.dll", "dll");
            file(tree, "Apps/same.txt", "same");
            file(tree, "Apps/Sub/opt.txt", "optional");
        }
        file("old", "version.txt", "Orvana\r\nbuild 1\r\n5.8\r\n");
        file("old", "OrvanaTools/version.ver", Version("5.8", "20141104134857", "fr"));
        file("old", "Apps/a.txt", "old a");
        file("old", "Docs/Readme.TXT", "read me");
        file("old", "Docs/gone.txt", "gone");
        file("new", "version.txt", "Orvana\r\nbuild 2\r\n5.9\r\n");
        file("new", "OrvanaTools/version.ver", Version("5.9", "20150101000000", "en"));
        file("new", "Apps/a.txt", "new a");
        file("new", "Apps/new.txt", "new");
        file("new", "Apps/opt.txt", "optional");
        file("new", "Docs/readme.txt", "read me");
        fs::copy(dir / "old", dir / "inst", fs::copy_options::recursive);
    }
    static std::string Version(const std::string& version, const std::string& patch, const std::string& lang) {
        return "<OrvanaVersion>\r\n\t<Version>" + version + "</Version>\r\n\t<Lang>" + lang + "</Lang>\r\n\t<Patch>" +
               patch + "</Patch>\r\n</OrvanaVersion>\r\n";
    }
    // Every file under `tree` with its bytes.
    std::map<std::string, std::string> Files(const std::string& tree) const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(dir / tree))
            if (e.is_regular_file())
                files[fs::relative(e.path(), dir / tree).string()] = Read(e.path());
        return files;
    }
};

TEST(Ovpatch, DiffBuildAndPlanTakeOneReleaseToTheNext) {
    Releases f;
    Result r = Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("data.7z"), "--settings", f.P("d.conf")});
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    // A name changed only in letter case is a change; version.ver is never shipped.
    for (const char* line : {"  changed   Apps\\a.txt\n", "  added     Apps\\new.txt\n", "  added     Apps\\opt.txt\n",
                             "  changed   Docs\\readme.txt\n", "  changed   version.txt\n", "  removed   Docs\\gone.txt\n",
                             "added          2 files             11 bytes\n", "removed        1 file               4 bytes\n",
                             "unchanged      5 files"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("version.ver"), std::string::npos) << r.out;
    const std::string settings = Read(f.dir / "d.conf");
    EXPECT_NE(settings.find("\nsuite-version = 5.9\nmin-patch = 20141104134857\ndelete-after = %ORV%\\Docs\\gone.txt\n"),
              std::string::npos)
        << settings;

    // From the written archive and settings, and straight from the two folders: the same patch.
    const std::vector<std::string> common = {"--patch-version", "20150101000000", "--lang", "FR", "--all-languages",
                                             "--file-flag",     "ifexists;opt.txt", "--run-after",
                                             "\"%ORV%\\Apps\\new.txt\" %LNG% %TMPFLD%"};
    std::vector<std::string> args = f.Build({"--settings", f.P("d.conf")});
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_EQ((r = Ovpatch(args)).code, ovpatch::kOk) << r.err;
    const fs::path patch = f.dir / "out" / "orv_20150101000000_MultiLng.exe";
    const std::string fromFiles = Read(patch);
    args = {"build", "--image", f.P("OVPatcher.exe"), "--old", f.P("old"), "--new", f.P("new"), "-o", f.P("out")};
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_EQ((r = Ovpatch(args)).code, ovpatch::kOk) << r.err;
    EXPECT_TRUE(Read(patch) == fromFiles);

    // The plan on a copy of OLD says exactly those changes. "opt.txt" is flagged ifexists and missing at the
    // root, so the archiver leaves out every "opt.txt" (it matches the list recursively), also the one in Apps.
    const auto before = f.Files("inst");
    r = Ovpatch({"plan", patch.string(), f.P("inst"), "--windows-path", "E:\\Orvana \u00e9t\u00e9\\"});
    ASSERT_EQ(r.code, ovpatch::kOk) << r.err;
    for (const char* line : {"fits:      yes\n", "  replaced   Apps\\a.txt\n", "  added      Apps\\new.txt\n",
                             "  excluded   Apps\\opt.txt\n", "  replaced   Docs\\readme.txt\n",
                             "  replaced   version.txt\n",
                             "  1 added, 3 replaced, 0 unchanged, 0 ifexists, 1 excluded, 0 blocked\n",
                             "  E:\\Orvana \u00e9t\u00e9\\Docs\\gone.txt  (exists)\n",
                             "  \"E:\\Orvana \u00e9t\u00e9\\Apps\\new.txt\"  %TMPFLD%\n",
                             "record before:\n  <OrvanaVersion>\n  \t<Version>5.8</Version>\n  \t<Lang>fr</Lang>\n  "
                             "\t<Patch>20141104134857</Patch>\n  </OrvanaVersion>\nrecord after:\n  <OrvanaVersion>\n"
                             "  \t<Version>5.9</Version>\n  \t<Lang>fr</Lang>\n  \t<Patch>20150101000000</Patch>\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // The root's opt.txt present: it is extracted, and the flag's own file is the one skipped when missing.
    Write(f.dir / "inst" / "opt.txt", "x");
    r = Ovpatch({"plan", patch.string(), f.P("inst"), "--json"});
    EXPECT_NE(r.out.find("{\"path\": \"Apps\\\\opt.txt\", \"action\": \"added\"}"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"run\": [\"\\\"%ORV%\\\\Apps\\\\new.txt\\\"  %TMPFLD%\"]"), std::string::npos) << r.out;
    fs::remove(f.dir / "inst" / "opt.txt");
    EXPECT_EQ(f.Files("inst"), before);  // the plan wrote nothing

    // Nothing to ship, and no archiver on the PATH.
    r = Ovpatch({"diff", f.P("old"), f.P("old"), "--archive", f.P("none.7z"), "--settings", f.P("none.conf")});
    EXPECT_EQ(r.code, ovpatch::kRefused);
    EXPECT_NE(r.err.find("nothing changed"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(f.dir / "none.7z") || fs::exists(f.dir / "none.conf"));
    const std::string path = std::getenv("PATH");
    setenv("PATH", f.P("out").c_str(), 1);
    r = Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("none.7z"), "--settings", f.P("none.conf")});
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(r.code, ovpatch::kToolMissing);
    EXPECT_NE(r.err.find("apt-get install 7zip"), std::string::npos) << r.err;
}

// Each start-up case ends the plan with the message the patcher shows for it.
TEST(Ovpatch, PlanRefusesWhereThePatcherWould) {
    Releases f;
    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.9";
    s.PatchVersion = L"20150101000000";
    s.MinPatchNeeded = L"20141104134857";
    s.LangName = L"FR";
    s.UpdateInfo = L"<EN>one</EN>";
    ASSERT_EQ(Ovpatch({"diff", f.P("old"), f.P("new"), "--archive", f.P("new.7z"), "--settings", f.P("d.conf")}).code,
              ovpatch::kOk);
    Write(f.dir / "fr.exe", mGlobal::BuildPatch(f.image, Read(f.dir / "new.7z"),
                                                mStringTools::TextToUtf8Bytes(frmMaker::BuildDescriptor(s, LangText()))));
    const fs::path inst = f.dir / "inst";
    const fs::path record = inst / "OrvanaTools" / "version.ver";
    struct Case {
        std::function<void()> damage;
        const char* key;
        int code;
    } cases[] = {
        {[&] { Write(record, Releases::Version("5.8", "20141104134857", "en")); }, "LangMismatch", 1},
        {[&] { Write(record, Releases::Version("5.8", "20141104134856", "Fr")); }, "VersionMismatch", 1},
        {[&] { Write(record, Releases::Version("5.8", "20150101000001", "fr")); }, "NoUpdateNeeded", 1},
        {[&] { Write(record, Releases::Version("5.8", "20150101000000", "fr")); }, "UpdateAlreadyDone", 0},
        {[&] { Write(record, "<orvanaversion><Lang>fr</Lang></orvanaversion>"); }, "CantUpdate", 1},
        {[&] { fs::remove(record); }, "CantUpdate", 1},
        {[&] { fs::remove(inst / "OrvanaTools" / "Installer" / "7z.dll"); }, "CantUpdate", 1},
        {[&] { fs::remove(inst / "Orvana.exe"); }, "OrvNotFound", 1},
    };
    for (const Case& c : cases) {
        fs::remove_all(inst);
        fs::copy(f.dir / "old", inst, fs::copy_options::recursive);
        c.damage();
        const Result r = Ovpatch({"plan", f.P("fr.exe"), inst.string(), "--json"});
        EXPECT_EQ(r.code, c.code) << c.key << ": " << r.out << r.err;
        EXPECT_NE(r.out.find(std::string("\"key\": \"") + c.key + "\""), std::string::npos) << c.key << ": " << r.out;
    }
    const Result r = Ovpatch({"plan", f.P("data.7z"), inst.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("refused:   Invalid patch file\n"), std::string::npos) << r.out;
}
