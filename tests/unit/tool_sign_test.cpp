// The catalogue tool's signing commands end to end inside the process, on real folders. Keys are
// made and used by the native build only; the Windows build says so.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "publish_io_watch.h"
#include "tools/update-catalogue/release_signature.h"
#include "tools/update-catalogue/tool.h"
#include "trust/public_key.h"
#include "trust/signature_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tarn::tool {
namespace {

class ToolSignTest : public ::testing::Test {
protected:
    std::string Host(const std::string& rel) const { return test::HostPath(dir.Join(rel)); }

    int Run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return RunTool(args, out, err);
    }

    std::string LastLine() const {
        std::string text = out.str();
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text.substr(text.find_last_of('\n') + 1);
    }

    // A release of two files, a key, and the catalogue "pim" with its signature.
    std::string BuildSigned(const std::vector<std::string>& extra = {}) {
        dir.MakeDir("rel");
        dir.MakeDir("rel\\bin");
        dir.WriteFile("rel\\a.txt", "first file");
        dir.WriteFile("rel\\bin\\b.dll", std::string(10000, 'b'));
        EXPECT_EQ(Run({"keygen", Host("key.pem")}), kExitOk) << err.str();
        const std::string publicKey = LastLine();
        std::vector<std::string> args = {"build", Host("rel"), "--base-url", "http://h/f/",
                                         "-o",    Host("pim"), "--sign",     Host("key.pem")};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(Run(args), kExitOk) << err.str();
        return publicKey;
    }

    test::TempFolder dir;
    std::ostringstream out;
    std::ostringstream err;
};

#ifndef _WIN32

TEST_F(ToolSignTest, KeygenWritesAPrivateKeyOnceAndPrintsThePublicKeyLast) {
    ASSERT_EQ(Run({"keygen", Host("key.pem")}), kExitOk) << err.str();
    trust::PublicKey key;
    EXPECT_TRUE(trust::ParsePublicKeyText(LastLine(), &key)) << LastLine();
    struct stat st {};
    ASSERT_EQ(::stat(Host("key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string before = dir.Read("key.pem");
    EXPECT_EQ(Run({"keygen", Host("key.pem")}), kExitFailed);
    EXPECT_NE(err.str().find("never overwritten"), std::string::npos);
    EXPECT_EQ(dir.Read("key.pem"), before);
}

TEST_F(ToolSignTest, SignedBuildVerifiesAndStatesEachFilesHash) {
    const std::string publicKey = BuildSigned({"--sequence", "42", "--expires-days", "2"});
    ASSERT_TRUE(dir.Exists("pim.sig"));
    ASSERT_EQ(Run({"verify-signature", Host("pim"), publicKey}), kExitOk) << err.str();
    EXPECT_NE(out.str().find("sequence:   42"), std::string::npos) << out.str();

    std::vector<trust::Digest> hashes;
    std::string error;
    ASSERT_TRUE(ReadSignedFileHashes(Host("pim.sig"), &hashes, &error)) << error;
    ASSERT_EQ(hashes.size(), 2u);
    const char* files[] = {"rel\\a.txt", "rel\\bin\\b.dll"};  // catalogue order
    for (size_t i = 0; i < 2; ++i) {
        trust::Digest digest;
        uint64_t size = 0;
        ASSERT_TRUE(HashHostFile(Host(files[i]), &digest, &size, &error)) << error;
        EXPECT_EQ(hashes[i], digest) << files[i];
    }

    ASSERT_EQ(Run({"show", Host("pim")}), kExitOk);
    EXPECT_NE(out.str().find("sequence:   42"), std::string::npos);
    EXPECT_NE(out.str().find("(matches)"), std::string::npos);
    EXPECT_NE(out.str().find("[1] " + trust::HexText(hashes[1].data(), 32)), std::string::npos);
}

TEST_F(ToolSignTest, AFailedCatalogueLeavesThePreviousSignatureFileAsItWas) {
    // Whatever the previous signature file holds, even more than a signature file can, it stays.
    const std::string previous(trust::kMaxSignatureFileSize + 100, 'p');
    dir.WriteFile("pim.sig", previous);
    dir.MakeDir("pim");  // a catalogue cannot replace a folder
    std::string error;
    EXPECT_FALSE(WriteCatalogueAndSignature(Host("pim"), "catalogue", "new signature", &error));
    EXPECT_EQ(dir.Read("pim.sig"), previous) << error;

    // A rename that fails after the new signature file took its place puts the previous one back.
    dir.MakeDir("out");
    dir.WriteFile("out\\pim", "old catalogue");
    dir.WriteFile("out\\pim.sig", previous);
    test::WatchingIo io(Host("out"), 6);  // after mkdir, write and link pim.sig, mkdir, write pim, rename pim.sig
    {
        Publication publication(io);
        publication.AddCatalogue(Host("out\\pim"), "catalogue", "new signature");
        size_t failed = 0, placed = 0;
        ASSERT_TRUE(publication.Write(&failed, &error)) << error;
        EXPECT_FALSE(publication.PutInPlace(&placed, &error));
        EXPECT_EQ(std::vector<std::string>(io.steps.begin() + 5, io.steps.end()),
                  (std::vector<std::string>{"rename pim.sig", "rename pim", "rename pim.sig"}))
            << "the new signature file, the failed catalogue, the previous signature file put back";
        EXPECT_NE(error.find("the previous signature file is back in place"), std::string::npos) << error;
    }
    EXPECT_EQ(dir.Read("out\\pim.sig"), previous);
    EXPECT_EQ(dir.Read("out\\pim"), "old catalogue");
    EXPECT_EQ(dir.List("out"), (std::vector<std::string>{"pim", "pim.sig"}));
}

TEST_F(ToolSignTest, ASequenceBelowTheOneInPlaceIsRefusedAndTheSameOneOnlyForTheSameCatalogue) {
    const std::string publicKey = BuildSigned({"--sequence", "100"});
    const std::string signature = dir.Read("pim.sig");
    const auto build = [&](const char* sequence) {
        return Run({"build", Host("rel"), "--base-url", "http://h/f/", "-o", Host("pim"), "--sign", Host("key.pem"),
                    "--sequence", sequence});
    };
    EXPECT_EQ(build("99"), kExitFailed);
    EXPECT_NE(err.str().find("holds sequence 100, and the new signature's sequence 99 is lower"), std::string::npos)
        << err.str();
    EXPECT_EQ(dir.Read("pim.sig"), signature);
    EXPECT_EQ(build("100"), kExitOk) << err.str();  // the same catalogue signed again
    dir.WriteFile("rel\\a.txt", "first file, changed");
    EXPECT_EQ(build("100"), kExitFailed);
    EXPECT_NE(err.str().find("is the same for another catalogue"), std::string::npos) << err.str();
    EXPECT_EQ(build("101"), kExitOk) << err.str();
    EXPECT_EQ(Run({"verify-signature", Host("pim"), publicKey, "--min-sequence", "101"}), kExitOk) << err.str();
    EXPECT_EQ(Run({"verify-signature", Host("pim"), publicKey, "--min-sequence", "102"}), kExitFailed);
    EXPECT_NE(err.str().find("(sequence 101, below --min-sequence 102)"), std::string::npos) << err.str();

    // stage checks the signature file it replaces in OUT_DIR.
    const std::vector<std::string> stage = {"stage",     Host("rel"), Host("www"),     "--base-url",
                                            "http://h/", "--sign",    Host("key.pem"), "--sequence"};
    std::vector<std::string> args = stage;
    args.push_back("7");
    ASSERT_EQ(Run(args), kExitOk) << err.str();
    args.back() = "6";
    EXPECT_EQ(Run(args), kExitFailed);
    EXPECT_NE(err.str().find("holds sequence 7"), std::string::npos) << err.str();
}

TEST_F(ToolSignTest, VerifySignatureNamesWhatIsWrong) {
    const std::string publicKey = BuildSigned();
    dir.WriteFile("keyfile.txt", "public key, for -DUPDATE_PUBLIC_KEY=:\n" + publicKey + "\n");
    EXPECT_EQ(Run({"verify-signature", Host("pim"), Host("keyfile.txt")}), kExitOk) << err.str();

    ASSERT_EQ(Run({"keygen", Host("other.pem")}), kExitOk);
    const std::string otherKey = LastLine();
    EXPECT_EQ(Run({"verify-signature", Host("pim"), otherKey}), kExitFailed);
    EXPECT_NE(err.str().find("signed by another key"), std::string::npos) << err.str();

    const std::string catalogue = dir.Read("pim");
    std::string changed = catalogue;
    changed.back() ^= 0x40;
    dir.WriteFile("pim", changed);
    EXPECT_EQ(Run({"verify-signature", Host("pim"), publicKey}), kExitFailed);
    EXPECT_NE(err.str().find("not the one that was signed"), std::string::npos) << err.str();

    dir.WriteFile("pim", catalogue);
    dir.WriteFile("pim.sig", dir.Read("pim.sig") + "x");
    EXPECT_EQ(Run({"verify-signature", Host("pim"), publicKey}), kExitFailed);
    EXPECT_NE(err.str().find("bytes after the signature"), std::string::npos) << err.str();

    // An unsigned build over it is refused, unless it drops the signature file.
    const std::string signature = dir.Read("pim.sig");
    const std::vector<std::string> build = {"build", Host("rel"), "--base-url", "http://h/other/", "-o", Host("pim")};
    ASSERT_EQ(Run(build), kExitFailed);
    EXPECT_NE(err.str().find("give --drop-signature to remove the signature file"), std::string::npos) << err.str();
    EXPECT_EQ(dir.Read("pim"), catalogue);
    EXPECT_EQ(dir.Read("pim.sig"), signature);
    std::vector<std::string> dropping = build;
    dropping.push_back("--drop-signature");
    ASSERT_EQ(Run(dropping), kExitOk) << err.str();
    EXPECT_FALSE(dir.Exists("pim.sig"));
    EXPECT_NE(dir.Read("pim"), catalogue);
}

#else

TEST_F(ToolSignTest, TheWindowsBuildDoesNotSign) {
    EXPECT_EQ(Run({"keygen", Host("key.pem")}), kExitFailed);
    EXPECT_FALSE(dir.Exists("key.pem"));
    dir.MakeDir("rel");
    EXPECT_EQ(Run({"build", Host("rel"), "--base-url", "http://h/f/", "-o", Host("pim"), "--sign", Host("k")}),
              kExitUsage);
    EXPECT_FALSE(dir.Exists("pim"));
}

#endif

TEST_F(ToolSignTest, SigningOptionsAreCheckedBeforeAnythingIsWritten) {
    dir.MakeDir("rel");
    dir.WriteFile("rel\\a.txt", "a");
    const std::vector<std::vector<std::string>> usage = {
        {"--sequence", "5"},
        {"--sign", Host("k"), "--sequence", "-1"},
        {"--sign", Host("k"), "--sequence", "18446744073709551616"},
        {"--sign", Host("k"), "--expires-days", "0"},
        {"--sign", Host("k"), "--expires-days=3661"},
        {"--sign", Host("k"), "--sign", Host("k")},
        {"--sign"},
    };
    for (const auto& extra : usage) {
        std::vector<std::string> args = {"build", Host("rel"), "--base-url", "http://h/f/", "-o", Host("pim")};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(Run(args), kExitUsage) << extra.back();
        EXPECT_FALSE(dir.Exists("pim"));
    }
#ifndef _WIN32
    EXPECT_EQ(Run({"build", Host("rel"), "--base-url", "http://h/f/", "-o", Host("pim"), "--sign", Host("no-key")}),
              kExitFailed);
    EXPECT_FALSE(dir.Exists("pim"));
#endif
}

}  // namespace
}  // namespace tarn::tool
