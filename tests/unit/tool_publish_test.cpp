// Publishing: where a web root serves each file, keeping unchanged files' times, what verify
// makes of a server's answers, and staging.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "blockmap/block_map.h"
#include "publish_io_watch.h"
#include "test_support.h"
#include "tools/update-catalogue/publication.h"
#include "tools/update-catalogue/publish/block_maps.h"
#include "tools/update-catalogue/publish/commands.h"
#include "tools/update-catalogue/publish/served_layout.h"
#include "tools/update-catalogue/publish/stable_times.h"
#include "tools/update-catalogue/publish/transfer_pace.h"
#include "tools/update-catalogue/publish/verify.h"
#include "tools/update-catalogue/release_scan.h"
#include "tools/update-catalogue/release_signature.h"
#include "tools/update-catalogue/tool.h"
#include "trust/sha256.h"
#include "trust/signature_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tarn::tool {
namespace {

const std::string kHangul = "\xC7\xD1\xB1\xDB";  // 한글 in CP949
constexpr uint64_t kSecond = 10000000ULL;
const uint64_t kTime = test::UtcFileTime(2009, 3, 7, 5, 5, 8);

TEST(ServedLayoutTest, BaseUrlPathsMapToFoldersOrAreRefused) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> valid = {
        {"/", {}}, {"/files/", {"files"}}, {"/a/b%20c/", {"a", "b c"}}, {"/%c7%D1/", {"\xC7\xD1"}}};
    for (const auto& [path, folders] : valid) {
        std::vector<std::string> got;
        std::string why;
        EXPECT_TRUE(ServedFolders(path, &got, &why)) << path << ": " << why;
        EXPECT_EQ(got, folders) << path;
    }
    for (const char* path : {"", "files/", "/files", "/a//b/", "/a/./", "/a/../", "/a%2Fb/", "/a%2/", "/a%00/"}) {
        std::vector<std::string> got;
        std::string why;
        EXPECT_FALSE(ServedFolders(path, &got, &why)) << path;
        EXPECT_FALSE(why.empty()) << path;
    }
    std::string origin, path, why;
    ASSERT_TRUE(SplitHttpUrl("http://h:81/files/", &origin, &path, &why));
    EXPECT_EQ(origin + "|" + path, "http://h:81|/files/");
    ASSERT_TRUE(SplitHttpUrl("HTTPS://h", &origin, &path, &why));
    EXPECT_EQ(origin + "|" + path, "HTTPS://h|");
    for (const char* url : {"ftp://h/", "http:///x/", "http://h/a/?v=1", "http://h/#a"})
        EXPECT_FALSE(SplitHttpUrl(url, &origin, &path, &why)) << url;

    // What the updater sends and where the server looks for it.
    EXPECT_EQ(FileRequestTarget("/files/", kHangul + "\\a b.txt"), "/files/" + kHangul + "/a%20b.txt");
    EXPECT_EQ(ServedLocation({"files"}, kHangul + "\\a b.txt"),
              (std::vector<std::string>{"files", kHangul, "a b.txt"}));
    EXPECT_TRUE(LocationsClash({"dedivur"}, CatalogueLocation()));
    EXPECT_TRUE(LocationsClash({"dedivur", "update", "pim", "x"}, CatalogueLocation()));
    EXPECT_FALSE(LocationsClash({"dedivur", "update", "pim2"}, CatalogueLocation()));
    EXPECT_EQ(JoinLocation(SignatureLocation()), "dedivur/update/pim.sig");
}

TEST(StableTimesTest, TimesTheUpdaterCouldTakeForOne) {
    const uint64_t before1980 = test::UtcFileTime(1975, 1, 1, 0, 0, 0);
    const struct {
        uint64_t a, b;
        bool equal;
    } cases[] = {
        {kTime, kTime + kSecond + kSecond / 2, true},  // one two-second step
        {kTime, kTime + 2 * kSecond, false},
        {kTime, kTime + 3600 * kSecond, false},
        {before1980, before1980 + 86400 * kSecond, true},  // neither has a time text
        {before1980, kTime, false},
    };
    for (const auto& c : cases) EXPECT_EQ(TimesMayLookEqual(FromU64(c.a), FromU64(c.b)), c.equal) << c.a << " " << c.b;
}

class PublishTest : public ::testing::Test {
protected:
    std::string Host(const std::string& rel) const { return test::HostPath(dir.Join(rel)); }

    int Run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return RunTool(args, out, err);
    }

    // The catalogue path -> time of every file below a folder, as the tool reads it.
    std::map<std::string, uint64_t> Times(const std::string& rel) const {
        std::vector<ReleaseFile> files;
        Findings findings;
        EXPECT_TRUE(ScanRelease(Host(rel), &files, &findings));
        std::map<std::string, uint64_t> times;
        for (const ReleaseFile& f : files) times[f.path] = ToU64(f.writeTime);
        return times;
    }

    test::TempFolder dir;
    std::ostringstream out, err;
};

TEST_F(PublishTest, TimesFromThePreviousReleaseKeepOnlyWhatDidNotChange) {
    const uint64_t fresh = kTime + 86400 * kSecond;
    for (const char* rel : {"old", "new"}) dir.MakeDir(rel);
    for (const char* name : {"same.txt", "bytes.txt", "size.txt"}) dir.WriteFile(std::string("old\\") + name, "v1");
    dir.WriteFile("new\\same.txt", "v1");
    dir.WriteFile("new\\bytes.txt", "V1");
    dir.WriteFile("new\\size.txt", "v22");
    dir.WriteFile("new\\added.txt", "");
    for (const char* name : {"same.txt", "bytes.txt", "size.txt"}) {
        dir.SetWriteTime(std::string("old\\") + name, FromU64(kTime));
        dir.SetWriteTime(std::string("new\\") + name, FromU64(fresh));
    }
    // Other bytes, the same size and a time the updater takes for the old one.
    dir.SetWriteTime("new\\bytes.txt", FromU64(kTime + kSecond));

    ASSERT_EQ(Run({"build", Host("new"), "--base-url", "http://h/", "-o", Host("pim"), "--times-from", Host("old")}),
              kExitOk)
        << err.str();
    for (const char* line : {"kept: 1 file; changed or new (clients fetch them): 3", "renewed  bytes.txt",
                             "size     size.txt", "new      added.txt"})
        EXPECT_NE(out.str().find(line), std::string::npos) << out.str();
    const std::map<std::string, uint64_t> times = Times("new");  // the folder now matches the catalogue
    EXPECT_EQ(times.at("same.txt"), kTime);
    EXPECT_GT(times.at("bytes.txt"), fresh);
    EXPECT_EQ(times.at("size.txt"), fresh);

    // A catalogue alone cannot tell a changed file of the same size from an unchanged one.
    const std::string published = dir.Read("pim");
    EXPECT_EQ(Run({"build", Host("new"), "--base-url", "http://h/", "-o", Host("pim"), "--times-from", Host("pim")}),
              kExitFailed);
    EXPECT_NE(err.str().find("cannot tell a changed file of the same size"), std::string::npos) << err.str();
    EXPECT_EQ(dir.Read("pim"), published);
}

TEST_F(PublishTest, TimesFromACatalogueWithItsSignatureFileCompareSizeAndSignedHash) {
    const uint64_t fresh = kTime + 86400 * kSecond;
    for (const char* rel : {"old", "new"}) dir.MakeDir(rel);
    dir.WriteFile("old\\bytes.txt", "v1");
    dir.WriteFile("old\\same.txt", "v1");
    dir.WriteFile("new\\bytes.txt", "V1");
    dir.WriteFile("new\\same.txt", "v1");
    for (const char* name : {"bytes.txt", "same.txt"}) {
        dir.SetWriteTime(std::string("old\\") + name, FromU64(kTime));
        dir.SetWriteTime(std::string("new\\") + name, FromU64(fresh));
    }
    ASSERT_EQ(Run({"build", Host("old"), "--base-url", "http://h/", "-o", Host("pim")}), kExitOk) << err.str();
    // The file hashes in catalogue order; the signature itself is not what --times-from checks.
    auto facts = std::make_unique<trust::ReleaseFacts>();
    const std::string catalogue = dir.Read("pim");
    ASSERT_TRUE(trust::Sha256(trust::SystemCrypto(), catalogue.data(), catalogue.size(), &facts->catalogueHash));
    facts->fileCount = 2;
    uint64_t size = 0;
    std::string error;
    ASSERT_TRUE(HashHostFile(Host("old\\bytes.txt"), &facts->fileHashes[0], &size, &error)) << error;
    ASSERT_TRUE(HashHostFile(Host("old\\same.txt"), &facts->fileHashes[1], &size, &error)) << error;
    const std::string unsignedTail(trust::kSignatureSize, '\0');
    dir.WriteFile("pim.sig", trust::EncodeSignedPart(*facts) + unsignedTail);

    const std::vector<std::string> build = {"build", Host("new"),  "--base-url",   "http://h/",
                                            "-o",    Host("next"), "--times-from", Host("pim")};
    ASSERT_EQ(Run(build), kExitOk) << err.str();
    for (const char* line : {"its signature file: a file of the same path, size and SHA-256",
                             "kept: 1 file; changed or new (clients fetch it): 1", "bytes    bytes.txt"})
        EXPECT_NE(out.str().find(line), std::string::npos) << line << "\n" << out.str();
    EXPECT_EQ(Times("new").at("same.txt"), kTime);
    EXPECT_EQ(Times("new").at("bytes.txt"), fresh);

    // A signature file of another catalogue says nothing about this one's files.
    facts->catalogueHash[0] ^= 1;
    dir.WriteFile("pim.sig", trust::EncodeSignedPart(*facts) + unsignedTail);
    EXPECT_EQ(Run(build), kExitFailed);
    EXPECT_NE(err.str().find("pim.sig: does not belong to"), std::string::npos) << err.str();
}

// Answers from a table by request target (404 for the rest), hashing the body when asked; gzips
// "gz" paths for a client that asks; cannot connect to the origins in `down`; records what was
// asked.
class FakeHttp : public HttpClient {
public:
    HttpReply Get(const HttpRequest& request) override {
        asked.push_back(request.target + (request.headersOnly ? " (probe)" : ""));
        HttpReply r = Reply(404, "", 0);
        if (down.count(request.origin)) {
            r.complete = false;
            r.connectFailed = true;
            r.error = "Failed to connect";
            return r;
        }
        if (replies.count(request.target)) r = replies[request.target];
        if (request.headersOnly && request.target.find("gz") != std::string::npos) r.contentEncoding = "gzip";
        if (!request.extraHeaders.empty() && request.extraHeaders[0].rfind("Range:", 0) == 0 && r.status == 200 &&
            !ignoresRange.count(request.target))
            r.status = 206;
        if (request.onBody && r.status == 200) request.onBody(r.body.data(), r.body.size());
        r.hashed = request.hashBody && trust::Sha256(trust::SystemCrypto(), r.body.data(), r.body.size(), &r.bodyHash);
        return r;
    }
    static HttpReply Body(const std::string& body, int64_t lastModified) {
        HttpReply r = Reply(200, std::to_string(body.size()), body.size());
        r.body = body;
        r.lastModified = lastModified;
        return r;
    }
    static HttpReply Reply(long status, const std::string& length, uint64_t bodyBytes) {
        HttpReply r;
        r.complete = true;
        r.status = status;
        r.contentLength = length;
        r.bodyBytes = bodyBytes;
        return r;
    }
    std::map<std::string, HttpReply> replies;
    std::set<std::string> down;
    std::set<std::string> ignoresRange;
    std::vector<std::string> asked;
};

TEST(VerifyTest, EveryFileIsAskedAsTheUpdaterAsksAndEachMismatchIsNamed) {
    FakeHttp http;
    const std::string catalogue = test::CatalogueBuilder()
                                      .Header()
                                      .I32(1)
                                      .Text("http://h/files/")
                                      .Entry(kHangul + "\\a b.txt", 3, kTime)
                                      .Entry("gone.bin", 5, kTime)
                                      .Entry("stale.bin", 4, kTime)
                                      .Entry("chunked.bin", 1, kTime)
                                      .Entry("gz.bin", 2, kTime)
                                      .Entry("short.bin", 9, kTime)
                                      .bytes();
    http.replies["/dedivur/update/pim"] = FakeHttp::Reply(200, "", catalogue.size());
    http.replies["/dedivur/update/pim"].body = catalogue;
    http.replies["/files/" + kHangul + "/a%20b.txt"] = FakeHttp::Reply(200, "3", 3);
    http.replies["/files/stale.bin"] = FakeHttp::Reply(200, "40", 40);
    http.replies["/files/chunked.bin"] = FakeHttp::Reply(200, "", 1);
    http.replies["/files/chunked.bin"].transferEncoding = "chunked";
    http.replies["/files/gz.bin"] = FakeHttp::Reply(200, "2", 2);
    http.replies["/files/short.bin"] = FakeHttp::Reply(200, "9", 8);
    std::ostringstream out, err;
    EXPECT_EQ(VerifyServer("http://h/dedivur/update/pim", http, out, err), kExitFailed);

    const std::string text = out.str();
    EXPECT_NE(text.find("signature http://h/dedivur/update/pim.sig: none (status 404)"), std::string::npos) << text;
    EXPECT_NE(text.find("ok      \xED\x95\x9C\xEA\xB8\x80/a b.txt"), std::string::npos) << text;
    const std::string reasons = text.substr(text.find("5 paths do not answer"));
    for (const char* line : {"gone.bin: status 404 at http://h/files/gone.bin (a staged OUT_DIR holds it at "
                             "OUT_DIR/files/gone.bin)\n",
                             "stale.bin: Content-Length 40, but the catalogue says 4 bytes",
                             "chunked.bin: no Content-Length (Transfer-Encoding: chunked)", "gz.bin: compressed",
                             "short.bin: a body of 8 bytes"})
        EXPECT_NE(reasons.find(line), std::string::npos) << line << "\n" << text;
    // The catalogue, its gzip probe, the signature, then each file after its block map; probed
    // only when it passed.
    const std::string a = "/files/" + kHangul + "/a%20b.txt";
    EXPECT_EQ(http.asked,
              (std::vector<std::string>{
                  "/dedivur/update/pim", "/dedivur/update/pim (probe)", "/dedivur/update/pim.sig", a + ".tarnblocks", a,
                  a + " (probe)", "/files/gone.bin.tarnblocks", "/files/gone.bin", "/files/stale.bin.tarnblocks",
                  "/files/stale.bin", "/files/chunked.bin.tarnblocks", "/files/chunked.bin", "/files/gz.bin.tarnblocks",
                  "/files/gz.bin", "/files/gz.bin (probe)", "/files/short.bin.tarnblocks", "/files/short.bin"}));
    EXPECT_NE(text.find("the fix for the 1 compressed path: gzip off for these paths"), std::string::npos) << text;
}

TEST_F(PublishTest, VerifyFetchesFromStagingComparesLocalCopiesAndSaysWhatToFix) {
    FakeHttp http;
    const std::string catalogue = test::CatalogueBuilder()
                                      .Header()
                                      .I32(1)
                                      .Text("http://h/files/")
                                      .Entry("a.txt", 3, kTime)
                                      .Entry("b.txt", 3, kTime)
                                      .Entry("c.txt", 2, kTime)
                                      .bytes();
    http.replies["/dedivur/update/pim"] = FakeHttp::Body(catalogue, 1000);
    http.replies["/dedivur/update/pim.sig"] = FakeHttp::Body("not a signature", 900);
    http.replies["/staging/a.txt"] = FakeHttp::Body("abc", 500);
    http.replies["/staging/b.txt"] = FakeHttp::Body("xyz", 2000);  // newer than the catalogue and .sig
    http.replies["/staging/c.txt"] = FakeHttp::Body("12", 500);
    dir.MakeDir("rel");
    dir.WriteFile("rel\\a.txt", "abc");
    dir.WriteFile("rel\\b.txt", "xyZ");
    dir.WriteFile("rel\\c.txt", "13");
    VerifyOptions options;
    options.filesFrom = "http://h/staging/";
    options.against = Host("rel");
    EXPECT_EQ(VerifyServer("http://h/dedivur/update/pim", http, out, err, options), kExitFailed);
    std::string text = out.str();
    EXPECT_NE(text.find("files from http://h/staging/ (--files-from; the catalogue's first base URL is "
                        "http://h/files/); each body's SHA-256 against the release folder"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("ok      a.txt"), std::string::npos) << text;
    const std::string reasons = text.substr(text.find("do not answer"));
    EXPECT_NE(reasons.find("b.txt: SHA-256 "), std::string::npos) << text;
    EXPECT_NE(reasons.find("the catalogue was not uploaded last"), std::string::npos) << text;
    // Other bytes, but not newer than the catalogue: no word about the upload order.
    const size_t c = reasons.find("c.txt: SHA-256 ");
    ASSERT_NE(c, std::string::npos) << text;
    EXPECT_EQ(reasons.find("uploaded last", c), std::string::npos) << text;
    EXPECT_EQ(http.asked[3], "/dedivur/update/pim.sig (probe)");  // a signature file is probed too

    // A base whose host cannot be reached: one line, and no more requests.
    http.down.insert("http://down:81");
    http.asked.clear();
    options.filesFrom = "http://down:81/files/";
    out.str("");
    EXPECT_EQ(VerifyServer("http://h/dedivur/update/pim", http, out, err, options), kExitFailed);
    text = out.str();
    EXPECT_NE(text.find("  http://down:81: Failed to connect: the base URL's host or port looks wrong; 3 of 3 files "
                        "not fetched\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(http.asked.back(), "/files/a.txt");
}

TEST(VerifyTest, WhatTheUpdaterRefusesInAnAcceptedCatalogueFails) {
    FakeHttp http;
    const std::string longPath(256 - std::strlen("http://h/f/"), 'p');
    const std::string catalogue = test::CatalogueBuilder()
                                      .Header()
                                      .I32(1)
                                      .Text("http://h/f/")
                                      .Entry("TarnFileUpdater.state\\x", 1, kTime)
                                      .Entry(longPath, 1, kTime)
                                      .Entry("big.bin", 0x7FFFFFFF, kTime)
                                      .bytes();
    http.replies["/dedivur/update/pim"] = FakeHttp::Reply(200, "", catalogue.size());
    http.replies["/dedivur/update/pim"].body = catalogue;
    http.replies["/f/TarnFileUpdater.state/x"] = FakeHttp::Reply(200, "1", 1);
    http.replies["/f/" + longPath] = FakeHttp::Reply(200, "1", 1);
    http.replies["/f/big.bin"] = FakeHttp::Reply(200, "2147483647", 0x7FFFFFFF);
    std::ostringstream out, err;
    EXPECT_EQ(VerifyServer("http://h/dedivur/update/pim", http, out, err), kExitFailed);
    for (const std::string& line :
         {std::string("TarnFileUpdater.state/x: names the updater's release state file"),
          longPath + ": its URL (first base URL + path) is 256 bytes; the updater's request holds 255",
          std::string("the files add up to 2147483649 bytes, more than the updater plans")})
        EXPECT_NE(out.str().find(line), std::string::npos) << line << "\n" << out.str();
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}

std::string MapBytesOf(const std::string& bytes, const test::TempFolder& folder, const std::string& name) {
    folder.WriteFile(name, bytes);
    blockmap::BlockMap map;
    std::string error;
    EXPECT_TRUE(MapOfHostFile(test::HostPath(folder.Join(name)), &map, &error)) << error;
    return blockmap::EncodeBlockMap(map);
}

TEST_F(PublishTest, VerifyChecksEachServedBlockMapAgainstItsFileAndAsksForARange) {
    const std::string good = RandomBytes(9000, 1), changed = RandomBytes(9000, 2);
    std::string lying = good;
    lying[5000] ^= 1;
    FakeHttp http;
    const std::string catalogue = test::CatalogueBuilder()
                                      .Header()
                                      .I32(1)
                                      .Text("http://h/f/")
                                      .Entry("good.bin", 9000, kTime)
                                      .Entry("lying.bin", 9000, kTime)
                                      .Entry("other.bin", 9000, kTime)
                                      .Entry("norange.bin", 9000, kTime)
                                      .Entry("broken.bin", 9000, kTime)
                                      .bytes();
    http.replies["/dedivur/update/pim"] = FakeHttp::Body(catalogue, 1000);
    for (const char* name : {"good", "lying", "other", "norange", "broken"})
        http.replies[std::string("/f/") + name + ".bin"] =
            FakeHttp::Body(std::string(name) == "lying" ? lying : good, 1);
    const std::string map = MapBytesOf(good, dir, "good.bin");
    for (const char* name : {"good", "lying", "norange"})
        http.replies[std::string("/f/") + name + ".bin.tarnblocks"] = FakeHttp::Body(map, 1);
    http.replies["/f/other.bin.tarnblocks"] = FakeHttp::Body(MapBytesOf(changed + "x", dir, "other.bin"), 1);
    http.replies["/f/broken.bin.tarnblocks"] = FakeHttp::Body(map.substr(0, map.size() - 1), 1);
    http.ignoresRange.insert("/f/norange.bin");
    EXPECT_EQ(VerifyServer("http://h/dedivur/update/pim", http, out, err), kExitFailed);
    const std::string text = out.str();
    EXPECT_NE(text.find("ok      good.bin.tarnblocks"), std::string::npos) << text;
    const std::string reasons = text.substr(text.find("4 paths do not answer"));
    for (const char* line :
         {"lying.bin.tarnblocks: block 1 (bytes from 4096) has other checksums",
          "other.bin.tarnblocks: a map of 9001 bytes, but the catalogue says 9000 (a map of another version?)",
          "norange.bin.tarnblocks: the server answers a Range request for the file with status 200, not 206",
          "broken.bin.tarnblocks: its length disagrees"})
        EXPECT_NE(reasons.find(line), std::string::npos) << line << "\n" << text;
}

TEST_F(PublishTest, ShowBlocksAndDiffSize) {
    const std::string old = RandomBytes(5 * 4096, 3);
    std::string fresh = old;
    fresh[2 * 4096 + 7] ^= 1;
    fresh.insert(100, "inserted");
    dir.WriteFile("old.bin", old);
    dir.WriteFile("new.bin", fresh);
    ASSERT_EQ(Run({"diff-size", Host("old.bin"), Host("new.bin")}), kExitOk) << err.str();
    // Blocks 0 (the insertion) and 2 fetched, the map's 56 + 6 * 12 bytes with them.
    EXPECT_NE(out.str().find("fetched: 8192 bytes in 2 ranges, and the map of 128 bytes\nbytes to fetch: 8320 (40.6 %"),
              std::string::npos)
        << out.str();
    dir.WriteFile("new.bin.tarnblocks", MapBytesOf(fresh, dir, "new.bin"));
    ASSERT_EQ(Run({"show-blocks", Host("new.bin.tarnblocks")}), kExitOk) << err.str();
    EXPECT_NE(out.str().find("(128 bytes, version 1)\nfile size: 20488 bytes\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("block size: 4096 bytes\nblocks: 6 (the last one 8 bytes)\n"), std::string::npos)
        << out.str();
    EXPECT_EQ(Run({"show-blocks", Host("old.bin")}), kExitFailed);
    EXPECT_NE(err.str().find("not a block map"), std::string::npos) << err.str();
    EXPECT_EQ(Run({"diff-size", Host("old.bin")}), kExitUsage);
}

TEST(TransferPaceTest, SilenceAndSlownessEndATransferAsInTheUpdater) {
    struct Step {
        uint64_t ms, received;
        bool ok;
    };
    const std::vector<std::vector<Step>> cases = {
        {{19999, 0, true}, {20000, 0, false}},                                                      // nothing for 20 s
        {{15000, 16384, true}, {30000, 16384, true}, {34999, 16384, true}, {35000, 16384, false}},  // then silent
        {{10000, 8000, true}, {29000, 16000, true}, {30000, 16383, false}},  // a trickle under 16 KB/30 s
        {{29000, 16384, true}, {30000, 16384, true}, {59000, 32767, true}, {60000, 32767, false}},
        {{20000 - 1, 1, true}, {30000, 16384, true}, {49999, 16384, true}, {50000, 40000, true}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        TransferPace pace(0);
        std::string why;
        for (const Step& step : cases[i])
            EXPECT_EQ(pace.Update(step.ms, step.received, &why), step.ok) << i << " " << step.ms;
    }
}

#ifndef _WIN32
TEST_F(PublishTest, StageWritesCp949NamesAndRefusesUnmappableBaseUrls) {
    dir.MakeDir("rel");
    dir.MakeDir("rel\\" + kHangul);
    dir.WriteFile("rel\\" + kHangul + "\\a b.txt", "abc");
    const std::string outDir = Host("www");
    const std::string rawName = outDir + "/files/" + kHangul + "/a b.txt";
    ASSERT_EQ(Run({"stage", Host("rel"), outDir, "--base-url", "http://h/files/"}), kExitOk) << err.str();
    struct stat st;
    ASSERT_EQ(::stat(rawName.c_str(), &st), 0) << "no file under the CP949 byte name";
    EXPECT_EQ(st.st_size, 3);
    EXPECT_EQ(::stat((outDir + "/dedivur/update/pim").c_str(), &st), 0);
    ASSERT_EQ(Run({"stage", Host("rel"), outDir, "--base-url", "http://h/files/"}), kExitOk) << err.str();
    EXPECT_NE(out.str().find(": 0 written, 1 already in place"), std::string::npos) << out.str();
    // A served copy of another size tells nothing of what clients hold: the file gets a fresh time.
    std::ofstream(rawName, std::ios::binary) << "stale!";
    ASSERT_EQ(Run({"stage", Host("rel"), outDir, "--base-url", "http://h/files/", "--times-from", outDir}), kExitOk);
    EXPECT_NE(out.str().find(" held 6 bytes, not the 3 its catalogue gives: given the current time)"),
              std::string::npos)
        << out.str();

    const std::vector<std::vector<std::string>> refused = {
        {"--base-url", "http://h/a/../"},
        {"--base-url", "http://h/files"},
        {"--base-url", "http://h/files/", "--sign", "key"},
        {"--base-url", "http://h/dedivur/update/"},  // a file named pim would take the catalogue's place
    };
    dir.WriteFile("rel\\pim", "");
    for (const auto& options : refused) {
        std::vector<std::string> args = {"stage", Host("rel"), Host("out")};
        args.insert(args.end(), options.begin(), options.end());
        EXPECT_EQ(Run(args), kExitFailed) << options[1];
        EXPECT_FALSE(dir.Exists("out")) << options[1];
    }
    EXPECT_NE(err.str().find("pim: served as /dedivur/update/pim, in the way of /dedivur/update/pim"),
              std::string::npos)
        << err.str();
}

TEST_F(PublishTest, AServedCopyStandsForThePreviousReleaseOnlyWithItsCatalogueTimeAndSignedHash) {
    dir.MakeDir("rel");
    for (const char* name : {"early.txt", "stamped.txt", "same.txt"}) dir.WriteFile(std::string("rel\\") + name, "v1");
    ASSERT_EQ(Run({"keygen", Host("key.pem")}), kExitOk) << err.str();
    const std::string www = Host("www");
    const std::vector<std::string> stage = {"stage",         Host("rel"),    www, "--base-url", "http://h/", "--sign",
                                            Host("key.pem"), "--times-from", www};
    ASSERT_EQ(Run({stage.begin(), stage.begin() + 7}), kExitOk) << err.str();
    // Copies replaced ahead of their catalogue: one with a time of its own, one with the catalogue's.
    for (const char* name : {"early.txt", "stamped.txt"}) dir.WriteFile(std::string("rel\\") + name, "v2");
    dir.WriteFile("www\\early.txt", "v2");
    const std::map<std::string, uint64_t> given = Times("rel");
    dir.WriteFile("www\\stamped.txt", "v2");
    dir.SetWriteTime("www\\stamped.txt", FromU64(given.at("stamped.txt")));
    for (const char* name : {"early.txt", "stamped.txt", "same.txt"})
        dir.SetWriteTime(std::string("rel\\") + name, FromU64(given.at(name) + 3600 * kSecond));

    ASSERT_EQ(Run(stage), kExitOk) << err.str();
    for (const char* line :
         {"kept: 1 file; changed or new (clients fetch them): 2", "bytes    early.txt", "bytes    stamped.txt"})
        EXPECT_NE(out.str().find(line), std::string::npos) << out.str();
}

TEST_F(PublishTest, StageFirstReleaseDryRunLeftOversPruneAndDroppedSignature) {
    for (const char* rel : {"rel1", "rel2"}) dir.MakeDir(rel);
    dir.WriteFile("rel1\\a.txt", "a");
    dir.WriteFile("rel1\\gone.txt", "g");
    dir.WriteFile("rel2\\a.txt", "a");
    dir.WriteFile("rel2\\b.txt", "b");
    const std::string www = Host("www");
    const auto stage = [&](const std::string& release, std::vector<std::string> extra) {
        std::vector<std::string> args = {"stage", Host(release), www, "--base-url", "http://h/files/"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    };
    // OUT_DIR as its own --times-from before anything was staged there: a first release.
    ASSERT_EQ(stage("rel1", {"--times-from", www}), kExitOk) << err.str();
    EXPECT_NE(out.str().find("holds no release yet, so this is the first: every file is new"), std::string::npos);
    dir.WriteFile("www\\files\\stray.txt", "s");
    const std::string catalogue = dir.Read("www\\dedivur\\update\\pim");

    ASSERT_EQ(stage("rel2", {"--times-from", www, "--dry-run", "--prune"}), kExitOk) << err.str();
    for (const char* line : {"dry run: nothing is written", "  keep     ", "  write    ",
                             "would write 1, keep 1, renew the time of 0 of 2 files",
                             "1 file that only the replaced catalogue lists stays", "would prune: 1 file that neither"})
        EXPECT_NE(out.str().find(line), std::string::npos) << line << "\n" << out.str();
    EXPECT_EQ(dir.Read("www\\dedivur\\update\\pim"), catalogue);
    EXPECT_FALSE(dir.Exists("www\\files\\b.txt"));

    ASSERT_EQ(stage("rel2", {}), kExitOk) << err.str();
    EXPECT_NE(out.str().find("left over: 1 file that neither the new nor the replaced catalogue lists (--prune "
                             "removes it):\n  " +
                             www + "/files/stray.txt\n"),
              std::string::npos)
        << out.str();
    EXPECT_TRUE(dir.Exists("www\\files\\gone.txt"));  // a client mid-update may still ask for it
    ASSERT_EQ(stage("rel2", {"--prune"}), kExitOk) << err.str();
    EXPECT_FALSE(dir.Exists("www\\files\\gone.txt"));
    EXPECT_FALSE(dir.Exists("www\\files\\stray.txt"));
    EXPECT_TRUE(dir.Exists("www\\files\\b.txt"));

    // Unsigned over signed: refused, then the signature file removed with --drop-signature.
    ASSERT_EQ(Run({"keygen", Host("key.pem")}), kExitOk);
    ASSERT_EQ(stage("rel2", {"--sign", Host("key.pem")}), kExitOk) << err.str();
    EXPECT_EQ(stage("rel1", {}), kExitFailed);
    EXPECT_NE(err.str().find("pim.sig: the release beside it is signed, and this one is not"), std::string::npos);
    EXPECT_FALSE(dir.Exists("www\\files\\gone.txt"));
    ASSERT_EQ(stage("rel1", {"--drop-signature"}), kExitOk) << err.str();
    EXPECT_FALSE(dir.Exists("www\\dedivur\\update\\pim.sig"));
    EXPECT_TRUE(dir.Exists("www\\files\\gone.txt"));
}

// Every name below a folder, with each file's last-write time and bytes.
std::map<std::string, std::string> Snapshot(const std::string& hostDir) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(hostDir)) {
        std::string& item = tree[entry.path().string()];
        if (!entry.is_regular_file()) continue;
        struct stat st;
        ::stat(entry.path().c_str(), &st);
        std::ifstream in(entry.path(), std::ios::binary);
        item = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
               std::string(std::istreambuf_iterator<char>(in), {});
    }
    return tree;
}

TEST_F(PublishTest, StageChangesNothingServedUntilAllIsWrittenThenRenamesFilesSignatureCatalogue) {
    dir.MakeDir("rel");
    dir.WriteFile("rel\\a.txt", "a1");
    dir.WriteFile("rel\\b.txt", "b1");
    dir.WriteFile("rel\\same.txt", "s");
    ASSERT_EQ(Run({"keygen", Host("key.pem")}), kExitOk) << err.str();
    std::string publicKey = out.str();
    publicKey.pop_back();
    publicKey = publicKey.substr(publicKey.rfind('\n') + 1);
    const std::string www = Host("www");
    const std::vector<std::string> stage = {"stage",  Host("rel"),    www, "--base-url", "http://h/files/",
                                            "--sign", Host("key.pem")};
    ASSERT_EQ(Run(stage), kExitOk) << err.str();
    dir.WriteFile("rel\\a.txt", "a2");
    dir.WriteFile("rel\\b.txt", "b2");
    dir.MakeDir("rel\\" + kHangul);
    dir.WriteFile("rel\\" + kHangul + "\\c.txt", "c");
    const std::map<std::string, std::string> served = Snapshot(www);

    std::vector<std::string> unsigned_(stage.begin() + 1, stage.end() - 2);
    unsigned_.push_back("--drop-signature");  // over the signed release
    for (const auto& args : {std::vector<std::string>(stage.begin() + 1, stage.end()), unsigned_}) {
        for (int failAt = 0;; ++failAt) {
            test::WatchingIo io(www, failAt);
            EXPECT_EQ(RunStageWith(args, out, err, io), kExitFailed);
            ASSERT_GT(io.steps.size(), static_cast<size_t>(failAt)) << err.str();
            const std::string failed = io.steps[failAt];
            EXPECT_EQ(Snapshot(www), served) << "failed at " << failed;
            if (failed.rfind("rename", 0) == 0) break;  // the first rename: nothing served changed before it
            EXPECT_NE(err.str().find("nothing served has changed"), std::string::npos) << err.str();
            err.str("");
        }
    }
    test::WatchingIo io(www);
    ASSERT_EQ(RunStageWith({stage.begin() + 1, stage.end()}, out, err, io), kExitOk) << err.str();
    const std::string sig = "dedivur/update/pim.sig";
    const std::vector<std::string> expected = {"write files/a.txt",
                                               "write files/b.txt",
                                               "mkdir files/" + kHangul,
                                               "write files/" + kHangul + "/c.txt",
                                               "mkdir dedivur/update",
                                               "write " + sig,
                                               "link " + sig,
                                               "mkdir dedivur/update",
                                               "write dedivur/update/pim",
                                               "rename files/a.txt",
                                               "rename files/b.txt",
                                               "time files/same.txt",
                                               "rename files/" + kHangul + "/c.txt",
                                               "rename " + sig,
                                               "rename dedivur/update/pim"};
    std::vector<std::string> steps;
    for (const std::string& step : io.steps)
        if (step.rfind("mkdir files", 0) != 0 || step == "mkdir files/" + kHangul) steps.push_back(step);
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(dir.Read("www\\files\\a.txt"), "a2");
    EXPECT_EQ(Run({"verify-signature", www + "/dedivur/update/pim", publicKey}), kExitOk) << err.str();

    // Dropped: the old signature gets a second name before any rename and goes right before pim.
    test::WatchingIo dropping(www);
    ASSERT_EQ(RunStageWith(unsigned_, out, err, dropping), kExitOk) << err.str();
    const std::vector<std::string>& done = dropping.steps;
    const auto link = std::find(done.begin(), done.end(), "link " + sig);
    EXPECT_LT(link - done.begin(), std::find_if(done.begin(), done.end(), [](const std::string& step) {
                                       return step.rfind("rename", 0) == 0;
                                   }) - done.begin());
    ASSERT_GE(done.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(done.end() - 2, done.end()),
              (std::vector<std::string>{"remove " + sig, "rename dedivur/update/pim"}));
    EXPECT_FALSE(dir.Exists("www\\dedivur\\update\\pim.sig"));
}
TEST_F(PublishTest, StageWritesBlockMapsAfterTheFilesAndBeforeTheCatalogueAndRemovesStaleOnes) {
    dir.MakeDir("rel");
    dir.WriteFile("rel\\big.bin", RandomBytes(5000, 4));
    dir.WriteFile("rel\\small.txt", "s");
    const std::string www = Host("www");
    std::vector<std::string> args = {Host("rel"),    www,          "--base-url", "http://h/files/",
                                     "--block-maps", "--min-size", "4096"};
    EXPECT_EQ(Run({"stage", Host("rel"), www, "--base-url", "http://h/files/", "--min-size", "1"}), kExitUsage);
    test::WatchingIo failing(www, 5);  // (mkdir, write) for each file, then for the map
    EXPECT_EQ(RunStageWith(args, out, err, failing), kExitFailed);
    EXPECT_EQ(failing.steps.back(), "write files/big.bin.tarnblocks");
    EXPECT_NE(err.str().find("big.bin.tarnblocks: injected failure"), std::string::npos) << err.str();
    EXPECT_FALSE(dir.Exists("www\\files"));

    test::WatchingIo io(www);
    ASSERT_EQ(RunStageWith(args, out, err, io), kExitOk) << err.str();
    std::vector<std::string> renames;
    for (const std::string& step : io.steps)
        if (step.rfind("rename", 0) == 0) renames.push_back(step);
    EXPECT_EQ(renames, (std::vector<std::string>{"rename files/big.bin", "rename files/small.txt",
                                                 "rename files/big.bin.tarnblocks", "rename dedivur/update/pim"}));
    EXPECT_FALSE(dir.Exists("www\\files\\small.txt.tarnblocks"));
    ASSERT_EQ(Run({"show-blocks", www + "/files/big.bin.tarnblocks"}), kExitOk) << err.str();
    EXPECT_NE(out.str().find("file size: 5000 bytes"), std::string::npos) << out.str();

    // The same again: the map is in place. Then too small for one: removed after the catalogue.
    ASSERT_EQ(Run({"stage", Host("rel"), www, "--base-url", "http://h/files/", "--block-maps", "--min-size", "4096"}),
              kExitOk);
    EXPECT_NE(out.str().find("0 written, 1 already in place"), std::string::npos) << out.str();
    args[6] = "5001";
    test::WatchingIo shrinking(www);
    ASSERT_EQ(RunStageWith(args, out, err, shrinking), kExitOk) << err.str();
    ASSERT_GE(shrinking.steps.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(shrinking.steps.end() - 2, shrinking.steps.end()),
              (std::vector<std::string>{"rename dedivur/update/pim", "remove files/big.bin.tarnblocks"}));
    EXPECT_FALSE(dir.Exists("www\\files\\big.bin.tarnblocks"));
}
#endif

}  // namespace
}  // namespace tarn::tool
