// The README's examples run as written and print what the README shows, and
// the manual page formats without warnings.
//
// Every ```console block of the README holds one or more commands, each on a
// line "$ <command>" followed by its exact output (standard output and
// standard error as one stream). The commands run in a scratch directory
// laid out like the repository after the set-up command: build/ holds the
// tool, the sample program and a freshly written sample recording. Paths
// under /tmp/ are moved into the scratch directory, so repairs work on
// copies there and nothing outside it is touched.
#include <gtest/gtest.h>

#include <sstream>

#include "support/programs.h"

namespace {

using varnek::test::read_text;
using varnek::test::RunResult;
using varnek::test::TempDir;
using varnek::test::run_program;
using varnek::test::without_testtime;

struct Example {
    int line = 0;          // README line of the command
    std::string command;
    std::string expected;  // output lines, each with its line break
};

std::vector<Example> console_examples(const std::string& readme) {
    std::vector<Example> examples;
    std::istringstream in(readme);
    std::string line;
    bool opened = false, runs = false;  // a console block begins; its commands run
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.rfind("```", 0) == 0) {
            opened = line == "```console";  // a block closes with a bare ```
            runs = false;
            continue;
        }
        if (opened) runs = line.rfind("$ ", 0) == 0;
        opened = false;
        if (!runs) continue;
        if (line.rfind("$ ", 0) == 0)
            examples.push_back({n, line.substr(2), ""});
        else
            examples.back().expected += line + "\n";
    }
    return examples;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

TEST(ReadmeExamples, SetUpCommandsAreThere) {
    std::string readme = read_text(VARNEK_README);
    // The first two sh blocks, in this order: the sample, then every test.
    const std::string first = "```sh\ntools/setup sample && cmake -S . -B build -DVARNEK_TESTS=OFF && cmake --build "
                              "build -j2 --target varnek varnek-sample && build/varnek-sample build && build/varnek "
                              "build/sample.ts\n```";
    const std::string second = "```sh\ntools/check\n```";
    EXPECT_EQ(readme.find("```sh\n"), readme.find(first));
    EXPECT_EQ(readme.find("```sh\n", readme.find(first) + 1), readme.find(second));
}

TEST(ReadmeExamples, PrintWhatTheReadmeShows) {
    VARNEK_NOT_ON_WINDOWS("the README's commands are POSIX shell commands");
    std::string readme = read_text(VARNEK_README);
    std::vector<Example> examples = console_examples(readme);
    ASSERT_GE(examples.size(), 10u) << "too few console examples in " << VARNEK_README;

    TempDir scratch;
    ASSERT_TRUE(scratch.ok());
    const std::string build = scratch.file("build"), tmp = scratch.file("tmp");
    ASSERT_EQ(varnek::test::portable::make_dir(build.c_str(), 0755), 0);
    ASSERT_EQ(varnek::test::portable::make_dir(tmp.c_str(), 0755), 0);
    ASSERT_EQ(varnek::test::portable::make_symlink(VARNEK_BINARY, (build + "/varnek").c_str()), 0);
    ASSERT_EQ(varnek::test::portable::make_symlink(VARNEK_SAMPLE_BINARY, (build + "/varnek-sample").c_str()), 0);
    RunResult sample = run_program(build + "/varnek-sample", {"build"}, scratch.path());
    ASSERT_EQ(sample.exit_code, 0) << sample.err;

    for (const Example& example : examples) {
        SCOPED_TRACE("README.md:" + std::to_string(example.line) + ": $ " + example.command);
        std::string command = example.command;
        replace_all(command, "/tmp/", tmp + "/");
        RunResult r = run_program("/bin/sh", {"-c", "exec 2>&1\n" + command}, scratch.path(),
                                  {"VARNEK_UNDO_DIR=" + scratch.file("undo")});
        ASSERT_TRUE(r.started) << r.err;
        std::string output = r.out;
        replace_all(output, tmp + "/", "/tmp/");
        EXPECT_EQ(without_testtime(output), without_testtime(example.expected));
    }
}

TEST(ManualPage, FormatsWithoutWarnings) {
    VARNEK_NOT_ON_WINDOWS("groff and mandoc are tools of the build machine");
    VARNEK_NEED_PROGRAM("groff");
    RunResult r = run_program("groff", {"-ww", "-man", "-z", VARNEK_MANPAGE});
    ASSERT_TRUE(r.started) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    // mandoc's lint also checks the date and the section order.
    VARNEK_NEED_PROGRAM("mandoc");
    r = run_program("mandoc", {"-Tlint", "-W", "warning", VARNEK_MANPAGE});
    EXPECT_EQ(r.out + r.err, "");
}

// The bash completion offers the options, and recording names with the .ts
// files first.
TEST(Completion, OptionsAndRecordingsFirst) {
    VARNEK_NOT_ON_WINDOWS("bash completion is for the build machine's shell");
    TempDir dir;
    for (const char* name : {"a.txt", "b.ts", "c.ts1"}) ASSERT_TRUE(varnek::test::write_file(dir.file(name), ""));
    const std::string script = std::string("source '") + VARNEK_COMPLETION + "'; complete -p varnek >/dev/null || exit 9;"
                               " COMP_WORDS=(varnek \"$1\"); COMP_CWORD=1; _varnek; echo \"${COMPREPLY[*]}\"";
    const struct { std::string word, expected; } rows[] = {
        {"-fix", "-fixqbx -fixpat\n"},
        {"-j", "-json\n"},
        {"-prn:C", "-prn:CHNM\n"},
        {"", "b.ts a.txt c.ts1\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.word);
        RunResult r = run_program("/bin/bash", {"-c", script, "bash", row.word}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, row.expected);
    }
}

}  // namespace
