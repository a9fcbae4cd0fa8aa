#include "exiftool/internal.hpp"
#include "json_writer/json_writer.hpp"
#include "support/support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace testing_support;
using Files = std::vector<std::string>;
using exiftool::ProcessOutput;

namespace {

exiftool::ProcessResult output(std::string out, std::string err = "") {
    return ProcessOutput{std::move(out), std::move(err)};
}

std::string error_of(const std::variant<exiftool::Objects, std::string>& v) {
    auto* e = std::get_if<std::string>(&v);
    return e ? *e : "<objects>";
}

std::string tags_json(const exiftool::Entry& entry) {
    if (auto* e = std::get_if<std::string>(&entry)) return "error: " + *e;
    model::Json arr = model::Json::array();
    for (const auto& t : std::get<std::vector<model::RawTag>>(entry))
        arr.push_back(to_json(t));
    return json_writer::compact(arr);
}

struct EnvGuard {
    std::string name;
    EnvGuard(std::string n, const std::string& value) : name(std::move(n)) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    ~EnvGuard() { unsetenv(name.c_str()); }
};

} // namespace

TEST(ExiftoolKeys, MatchPrefersExactThenCaseAndSeparatorThenQuestionMarks) {
    using Indexes = std::vector<std::size_t>;
    Files args = {"/m/A.MOV",     "/m/a.mov",     "/m/Clip.mp4",      "/m/\xc3\x89t\xc3\xa9.mov",
                  "/m/x\xff.mov", "/m/x\xfe.mov", "/m/y\xe2\x82z.mov"};
    const std::pair<const char*, Indexes> cases[] = {
        {"/m/a.mov", {1}},
        {"/m/A.MOV", {0}},
        {"\\m\\CLIP.MP4", {2}},
        {"/m/\xc3\xa9t\xc3\xa9.mov", {3}},
        {"/elsewhere.mov", {}},
        {"/M/a.MOV", {0, 1}}, // no exact pair: every case-insensitive match, in order
        // The tool writes each byte outside well-formed UTF-8 as "?".
        {"/m/x?.mov", {4, 5}},
        {"/m/y??z.mov", {6}},
        {"/m/x\xef\xbf\xbd.mov", {4, 5}}, // the caller's own text form is an exact match
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(exiftool::match_arguments(name, args), expected) << name;
}

TEST(ExiftoolOutput, BatchErrorTexts) {
    EXPECT_EQ(error_of(exiftool::parse_output(io::Error{ENOENT})),
              "exiftool: No such file or directory (os error 2)");
    EXPECT_EQ(
        error_of(exiftool::parse_output(output(" \n\t", "  Error: File not found - x.mov\n"))),
        "Error: File not found - x.mov");
    EXPECT_EQ(error_of(exiftool::parse_output(output(""))), "exiftool: no answer");
    EXPECT_EQ(error_of(exiftool::parse_output(output("garbage"))).rfind("exiftool json: ", 0), 0u);
    EXPECT_EQ(error_of(exiftool::parse_output(output("[{\"a\":1}"))).rfind("exiftool json: ", 0),
              0u);
    EXPECT_EQ(error_of(exiftool::parse_output(output("{\"SourceFile\":\"x\"}"))),
              "exiftool json: invalid type: object, expected an array");
    auto ok = exiftool::parse_output(output("[1, {\"a\":1,\"a\":2}, \"x\", {}]"));
    ASSERT_TRUE(std::holds_alternative<exiftool::Objects>(ok));
    const auto& objects = std::get<exiftool::Objects>(ok);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0]["a"], 2); // the last of a repeated key wins
}

TEST(ExiftoolOutput, CombineFilesTagsUnderCallerPaths) {
    Files files = {"/m/A.MOV", "/m/b.mov", "-@", "/m/skipped.mov"};
    auto raw = exiftool::parse_output(output(R"([
        {"SourceFile":"/M/a.mov","QuickTime:Duration":1.5,"ExifTool:Warning":"w","Odd":[1,2],
         "QuickTime:Track1:Rate":25},
        {"SourceFile":"/m/b.mov","QuickTime:Make":"Sony"},
        {"SourceFile":"./-@","File:FileType":"MOV"},
        {"SourceFile":"/m/unknown.mov","File:FileType":"MOV"},
        {"QuickTime:NoSource":1}])"));
    auto printed = exiftool::parse_output(output(R"([
        {"SourceFile":"/M/a.mov","QuickTime:Duration":"1.50 s","QuickTime:Track1:Rate":25},
        {"SourceFile":"./-@","File:FileType":"MOV"}])"));
    auto batch = exiftool::combine_runs(raw, printed, files);
    EXPECT_EQ(tags_json(batch.at("/m/A.MOV")),
              R"([{"group":"ExifTool","name":"Warning","printed":null,"raw":"w"},)"
              R"({"group":"","name":"Odd","printed":null,"raw":[1,2]},)"
              R"({"group":"QuickTime","name":"Duration","printed":"1.50 s","raw":1.5},)"
              R"({"group":"QuickTime","name":"Track1:Rate","printed":"25","raw":25}])");
    EXPECT_EQ(tags_json(batch.at("/m/b.mov")),
              R"([{"group":"QuickTime","name":"Make","printed":null,"raw":"Sony"}])");
    EXPECT_EQ(tags_json(batch.at("-@")),
              R"([{"group":"File","name":"FileType","printed":"MOV","raw":"MOV"}])");
    EXPECT_EQ(batch.count("/m/skipped.mov"), 0u);
    EXPECT_EQ(batch.count("/m/unknown.mov"), 1u); // filed under the tool's own name
    EXPECT_EQ(batch.count(""), 1u);               // an object without SourceFile

    // A failed raw run wins over a failed printed run; every file gets the text.
    auto both =
        exiftool::combine_runs(std::string("raw broke"), std::string("printed broke"), files);
    ASSERT_EQ(both.size(), files.size());
    for (const auto& f : files)
        EXPECT_EQ(tags_json(both.at(f)), "error: raw broke");
    auto second = exiftool::combine_runs(raw, std::string("printed broke"), files);
    EXPECT_EQ(tags_json(second.at("/m/b.mov")), "error: printed broke");
}

TEST(ExiftoolOutput, CaseTwinsInOneBatchKeepTheirOwnTags) {
    Files files = {"/m/A.MOV", "/m/a.mov"};
    auto raw = exiftool::parse_output(
        output(R"([{"SourceFile":"/m/A.MOV","X:Id":1},{"SourceFile":"/m/a.mov","X:Id":2}])"));
    auto batch = exiftool::combine_runs(raw, raw, files);
    EXPECT_EQ(tags_json(batch.at("/m/A.MOV")),
              R"([{"group":"X","name":"Id","printed":"1","raw":1}])");
    EXPECT_EQ(tags_json(batch.at("/m/a.mov")),
              R"([{"group":"X","name":"Id","printed":"2","raw":2}])");
}

TEST(ExiftoolOutput, AnswersReachEveryCallerPathInOrder) {
    // "-x.mov" and "./-x.mov" are both passed as "./-x.mov"; two names the tool writes alike
    // ("?" for a byte outside UTF-8) are answered in argument order. Answers beyond the number
    // of arguments behind a name replace the earlier ones, in both runs alike.
    Files files = {"-x.mov", "./-x.mov", "a\xff.mov", "a\xfe.mov", "d.mov", "e.mov"};
    auto raw = exiftool::parse_output(output(R"([{"SourceFile":"./-x.mov","X:Id":1},
        {"SourceFile":"./-x.mov","X:Id":1},{"SourceFile":"a?.mov","X:Id":2},
        {"SourceFile":"a?.mov","X:Id":3},{"SourceFile":"d.mov","X:Id":4},
        {"SourceFile":"d.mov","X:Id":5},{"SourceFile":"a?.mov","X:Id":6},
        {"SourceFile":"e.mov","X:Id":7}])"));
    auto printed = exiftool::parse_output(output(R"([{"SourceFile":"./-x.mov","X:Id":"one"},
        {"SourceFile":"./-x.mov","X:Id":"one"},{"SourceFile":"a?.mov","X:Id":"two"},
        {"SourceFile":"a?.mov","X:Id":"three"},{"SourceFile":"d.mov","X:Id":"first"},
        {"SourceFile":"d.mov","X:Id":"second"},{"SourceFile":"a?.mov","X:Id":"six"},
        {"SourceFile":"e.mov","X:Id":"first"},{"SourceFile":"e.mov","X:Id":"second"}])"));
    auto batch = exiftool::combine_runs(raw, printed, files);
    const char* expected[] = {R"([{"group":"X","name":"Id","printed":"one","raw":1}])",
                              R"([{"group":"X","name":"Id","printed":"one","raw":1}])",
                              R"([{"group":"X","name":"Id","printed":"two","raw":2}])",
                              R"([{"group":"X","name":"Id","printed":"six","raw":6}])",
                              R"([{"group":"X","name":"Id","printed":"second","raw":5}])",
                              R"([{"group":"X","name":"Id","printed":"second","raw":7}])"};
    ASSERT_EQ(batch.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(tags_json(batch.at(files[i])), expected[i]) << files[i];
}

TEST(ExiftoolArguments, ExactListAndOptionLookingPaths) {
    EXPECT_EQ(
        exiftool::batch_arguments({"/a.mov", "-@", "-", "rel/-x.mov"}, exiftool::Numeric::Yes),
        (Files{"-json", "-G1", "-a", "-u", "-q", "-q", "-api", "largefilesupport=1", "-n", "/a.mov",
               "./-@", "./-", "rel/-x.mov"}));
    EXPECT_EQ(
        exiftool::batch_arguments({"b.mov"}, exiftool::Numeric::No),
        (Files{"-json", "-G1", "-a", "-u", "-q", "-q", "-api", "largefilesupport=1", "b.mov"}));
}

TEST(ExiftoolProcess, LocateVersionAndStartFailures) {
    TempDir tmp;
    write_script(tmp / "tool", "#!/bin/sh\nprintf '\\n'\n");
    {
        EnvGuard env("ZUN_EXIFTOOL", (tmp / "tool").string());
        EXPECT_EQ(exiftool::locate(), (tmp / "tool").string());
        EXPECT_EQ(exiftool::ask_version((tmp / "tool").string()), ""); // empty, not absent
    }
    {
        EnvGuard env("ZUN_EXIFTOOL", (tmp / "absent").string());
        auto found = exiftool::locate();
        EXPECT_NE(found, (tmp / "absent").string()); // falls through to the fixed places
    }
    EXPECT_EQ(exiftool::ask_version((tmp / "absent").string()), std::nullopt);
    const auto plain = write_file(tmp / "plain", "not executable");
    auto r = exiftool::run_batch(plain.string(), {"x.mov"}, exiftool::Numeric::Yes);
    EXPECT_EQ(error_of(r), "exiftool: Permission denied (os error 13)");
    auto missing = exiftool::read_batch((tmp / "absent").string(), {"x.mov", "y.mov"});
    EXPECT_EQ(tags_json(missing.at("y.mov")),
              "error: exiftool: No such file or directory (os error 2)");
}

TEST(ExiftoolProcess, ChattyToolCannotDeadlockAndRunsOverlap) {
    TempDir tmp;
    // Two megabytes on standard error before any output. Each run then waits (up to ten
    // seconds) for the other one to have started: run one after the other, they say "alone".
    write_script(tmp / "tool",
                 "#!/bin/sh\n"
                 "head -c 2000000 /dev/zero | tr '\\0' 'e' >&2\n"
                 "dir=$(dirname \"$0\")\n"
                 "touch \"$dir/started.$$\"\n"
                 "together=alone\n"
                 "for i in $(seq 100); do\n"
                 "  if [ $(ls \"$dir\" | grep -c '^started') -ge 2 ]; then\n"
                 "    together=yes; break; fi\n"
                 "  sleep 0.1\n"
                 "done\n"
                 "for last; do :; done\n"
                 "printf '[{\"SourceFile\":\"%s\",\"A:B\":\"%s\"}]' \"$last\" \"$together\"\n");
    auto batch = exiftool::read_batch((tmp / "tool").string(), {"f.mov"});
    EXPECT_EQ(tags_json(batch.at("f.mov")),
              R"([{"group":"A","name":"B","printed":"yes","raw":"yes"}])");
}

TEST(ExiftoolWorkers, NamesInTheArgumentFile) {
    using Passed = std::optional<Files>;
    const std::pair<Files, Passed> cases[] = {
        {{"/m/a.mov", "rel/b.mov", "d/#c.mov", "d/ e.mov"},
         Files{"/m/a.mov", "rel/b.mov", "d/#c.mov", "d/ e.mov"}},
        // Option-like names as today; a dropped or commenting first byte gets "./".
        {{"-x.mov", "-d/y.mov", " x.mov", "#x.mov", "\tx.mov", "\xa0x.mov"},
         Files{"./-x.mov", "./-d/y.mov", "./ x.mov", "./#x.mov", "./\tx.mov", "./\xa0x.mov"}},
        // "./" before a folder part would change the folder the tool reports.
        {{"/m/a.mov", "#d/x.mov"}, std::nullopt},
        {{" d/x.mov"}, std::nullopt},
        // Line breaks cannot travel at all.
        {{"/m/a\nb.mov"}, std::nullopt},
        {{"/m/a\rb.mov"}, std::nullopt},
        {{""}, std::nullopt},
    };
    for (const auto& [files, expected] : cases)
        EXPECT_EQ(exiftool::worker_arguments(files), expected) << files.front();
    EXPECT_EQ(exiftool::worker_command({"./-x.mov", "/m/a b.mov"}, 7),
              "-json\n-G1\n-a\n-u\n-q\n-q\n-api\nlargefilesupport=1\n-l\n./-x.mov\n/m/a b.mov\n"
              "-echo4\n{zun-end7}\n-execute7\n");
}

TEST(ExiftoolWorkers, ListingGivesWhatTheTwoRunsGive) {
    // A tag's "num" (when present) is its raw value and its "val" the printed one; values keep
    // their JSON type. (The exiftool fuzz target, replayed over its corpus, compares whole
    // listings with the two runs they stand for.)
    auto objects = exiftool::parse_output(output(R"J([{"SourceFile":"/m/a.mov",
         "QuickTime:Duration":{"desc":"Duration","num":1.5,"val":"1.50 s"},
         "XMP-dc:Subject":{"desc":"Subject","val":["one","two"]}}])J"),
                                          exiftool::Form::Listing);
    ASSERT_TRUE(std::holds_alternative<exiftool::Objects>(objects));
    // The tags' descriptions are not kept; only they are left out.
    EXPECT_EQ(std::get<exiftool::Objects>(objects)[0]["QuickTime:Duration"],
              model::Json::parse(R"({"num":1.5,"val":"1.50 s"})"));
    const Files files = {"/m/a.mov"};
    auto listed = exiftool::combine_listing(std::get<exiftool::Objects>(objects), files, files);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(tags_json(listed->at("/m/a.mov")),
              R"J([{"group":"QuickTime","name":"Duration","printed":"1.50 s","raw":1.5},)J"
              R"J({"group":"XMP-dc","name":"Subject","printed":"[\"one\",\"two\"]",)J"
              R"J("raw":["one","two"]}])J");
    // A value that is not a {"val":...} object, or an answer that does not name its file,
    // cannot be split: the batch is read the old way.
    for (const char* odd :
         {R"([{"SourceFile":"a","A:B":1}])", R"([{"SourceFile":"a","A:B":{"desc":"B","num":1}}])",
          R"([{"A:B":{"val":1}}])", R"([{"SourceFile":2,"A:B":{"val":1}}])"}) {
        auto parsed = exiftool::parse_output(output(odd));
        EXPECT_FALSE(exiftool::combine_listing(std::get<exiftool::Objects>(parsed), {"a"}, {"a"}))
            << odd;
    }
}
