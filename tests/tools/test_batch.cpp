// Batches: the manifest and its refusals, the command line, the summary, resuming, array
// tasks and stopping. Most runs use a small stand-in for plenosr (a shell script that
// behaves like it: writes its output root, or fails, crashes or waits as its input says).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "errors.h"
#include "lib/batch_command.h"
#include "lib/batch_run.h"
#include "lib/batch_state.h"
#include "lib/manifest.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// What a manifest refusal says, or "" if it is accepted.
std::string refusal(const std::string& dir, const std::string& manifest) {
  write_text_file(dir + "/m.csv", manifest);
  try {
    read_manifest(dir + "/m.csv");
  } catch (const RunError& e) {
    EXPECT_EQ(e.status(), exit_input);
    return e.what();
  }
  return "";
}

// A stand-in for plenosr. Its colour input's content says what to do; every run is counted
// in <rgb>.runs.
const char* const fake_plenosr = R"SH(#!/bin/sh
trap 'kill $! 2>/dev/null; echo "plenosr: terminated by SIGTERM" >&2; exit 143' TERM
while [ $# -gt 0 ]; do
  case "$1" in --rgb) rgb=$2; shift ;; -o) out=$2; shift ;; esac
  shift
done
echo run >> "$rgb.runs"
mkdir -p "$out"
case "$(cat "$rgb")" in
  fail) echo partial > "$out/partial.txt"
        echo "plenosr: $rgb: expected a good exposure, found a bad one" >&2; exit 3 ;;
  crash) kill -SEGV $$ ;;
  slow) sleep 30 & wait; exit 0 ;;
esac
echo "result of $rgb" > "$out/result.txt"
)SH";

// A directory with the stand-in and one input per exposure, holding what it should do.
struct Sandbox {
  std::string dir = make_temp_dir("batch");
  std::string child = dir + "/fake-plenosr";
  std::string root = dir + "/out";
  explicit Sandbox(const std::vector<std::pair<std::string, std::string>>& exposures) {
    write_text_file(child, fake_plenosr);
    ::chmod(child.c_str(), 0755);
    std::string manifest = "name,rgb,raw\n";
    for (const auto& [name, behaviour] : exposures) {
      write_text_file(dir + "/" + name + ".in", behaviour);
      manifest += name + "," + name + ".in," + name + ".in\n";
    }
    write_text_file(dir + "/m.csv", manifest);
  }
  Sandbox(const Sandbox&) = delete;
  ~Sandbox() { fs::remove_all(dir); }
  int batch(std::vector<std::string> args) const {
    args.insert(args.begin(), {dir + "/m.csv", "-o", root});
    return batch_main(args, child);
  }
  int runs(const std::string& name) const {
    const std::string text = read_text_file(dir + "/" + name + ".in.runs");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  std::vector<SummaryRow> summary() const {
    std::vector<SummaryRow> rows;
    std::istringstream in(read_text_file(root + "/batch-summary.csv"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line + "\n", summary_header());
    for (SummaryRow r; std::getline(in, line);) {
      EXPECT_TRUE(parse_row(line, r)) << line;
      rows.push_back(r);
    }
    return rows;
  }
};

TEST(Manifest, ReadsColumnsInAnyOrderQuotesAndRelativePaths) {
  const std::string dir = make_temp_dir("manifest");
  fs::create_directories(dir + "/in");
  write_text_file(dir + "/in/a b.tiff", "x");
  write_text_file(dir + "/g.yml", "x");
  write_text_file(dir + "/m.csv",
             "\xEF\xBB\xBFraw,Name,geometry,rgb\r\n"
             "\"in/a b.tiff\",first,,in/a b.tiff\r\n"
             "\r\n"
             + dir + "/in/a b.tiff,second_2.x,g.yml,\"in/a b.tiff\"\n");
  const Manifest m = read_manifest(dir + "/m.csv");
  ASSERT_EQ(m.exposures.size(), 2u);
  EXPECT_TRUE(m.has_geometry);
  EXPECT_EQ(m.exposures[0].name, "first");
  EXPECT_EQ(m.exposures[0].rgb, dir + "/in/a b.tiff");
  EXPECT_EQ(m.exposures[0].raw, dir + "/in/a b.tiff");
  EXPECT_EQ(m.exposures[0].geometry, "");
  EXPECT_EQ(m.exposures[1].name, "second_2.x");
  EXPECT_EQ(m.exposures[1].geometry, dir + "/g.yml");
  EXPECT_EQ(m.exposures[1].number, 2);
  EXPECT_EQ(m.exposures[1].line, 4);
  fs::remove_all(dir);
}

TEST(Manifest, RefusesBadFilesNamingTheLine) {
  const std::string dir = make_temp_dir("manifest");
  write_text_file(dir + "/a.tiff", "x");
  fs::create_directories(dir + "/folder");
  const std::string ok = "name,rgb,raw\nfirst,a.tiff,a.tiff\n";
  EXPECT_EQ(refusal(dir, ok), "");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ":1: expected the header"},
      {"name,rgb\n", ":1: missing column 'raw'"},
      {"name,rgb,raw,depth\n", ":1: unknown column 'depth'"},
      {"name,rgb,raw,rgb\n", ":1: column 'rgb' appears twice"},
      {"name,rgb,raw\n", ":1: no exposures"},
      {ok + "second,a.tiff\n", ":3: expected 3 fields, found 2"},
      {ok + "\"second,a.tiff,a.tiff\n", ":3: a quoted field is not closed"},
      {ok + "first,a.tiff,a.tiff\n", ":3: name 'first' is already used on line 2"},
      {ok + "FIRST,a.tiff,a.tiff\n", ":3: name 'FIRST' is already used on line 2"},
      {ok + "../x,a.tiff,a.tiff\n", ":3: name '../x' starts with '.'"},
      {ok + "/abs,a.tiff,a.tiff\n", ":3: name '/abs' may hold only"},
      {ok + "a/b,a.tiff,a.tiff\n", ":3: name 'a/b' may hold only"},
      {ok + ".hidden,a.tiff,a.tiff\n", ":3: name '.hidden' starts with '.'"},
      {ok + ",a.tiff,a.tiff\n", ":3: name '' is empty"},
      {ok + "batch-summary.csv,a.tiff,a.tiff\n", ":3: name 'batch-summary.csv' is the name of the batch summary"},
      {ok + "second,,a.tiff\n", ":3: empty rgb field"},
      {ok + "second,a.tiff,missing.tiff\n", ":3: raw file " + dir + "/missing.tiff: No such file"},
      {ok + "second,folder,a.tiff\n", ":3: rgb file " + dir + "/folder: not a regular file"},
  };
  for (const auto& [text, expected] : cases) {
    const std::string why = refusal(dir, text);
    EXPECT_NE(why.find(dir + "/m.csv" + expected), std::string::npos) << text << "\n -> " << why;
  }
  try {
    read_manifest(dir + "/none.csv");
    ADD_FAILURE();
  } catch (const RunError& e) {
    EXPECT_NE(std::string(e.what()).find("none.csv: cannot read the manifest"), std::string::npos);
  }
  fs::remove_all(dir);
}

TEST(BatchCommandLine, SplitsOwnOptionsFromPlenosrOptions) {
  const BatchOptions o = parse_batch_arguments(
      {"-o", "R", "m.csv", "--outer", "1", "--jobs=2", "--png", "--threads", "3", "--no-wait", "--only", "4"});
  EXPECT_EQ(o.manifest, "m.csv");
  EXPECT_EQ(o.root, "R");
  EXPECT_EQ(o.jobs, 2);
  EXPECT_EQ(o.only, 4);
  EXPECT_EQ(o.threads, "3");
  EXPECT_EQ(o.plenosr_args, (std::vector<std::string>{"--outer", "1", "--png"}));

  Exposure e;
  e.rgb = "/d/c.tiff";
  e.raw = "/d/r.tiff";
  e.geometry = "/d/g.yml";
  const std::vector<std::string> argv = exposure_arguments(o, e, "/bin/plenosr", "R/x", 8);
  EXPECT_EQ(argv, (std::vector<std::string>{"/bin/plenosr", "--outer", "1", "--png", "--threads", "3", "--rgb",
                                            "/d/c.tiff", "--raw", "/d/r.tiff", "--geometry", "/d/g.yml", "-o",
                                            "R/x", "--no-wait"}));
  // The thread count and the root change no output byte, so the marker leaves them out.
  EXPECT_EQ(run_arguments(argv), "--outer\n1\n--png\n--rgb\n/d/c.tiff\n--raw\n/d/r.tiff\n--geometry\n/d/g.yml\n--no-wait\n");
  EXPECT_EQ(number_ranges({1, 2, 3, 5, 7, 8}), "1-3,5,7-8");
  EXPECT_EQ(threads_per_exposure(8, 3), 2);
  EXPECT_EQ(threads_per_exposure(2, 4), 1);

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--outer", "1", "m.csv", "-o", "R"}, "--outer: plenosr options go after MANIFEST"},
      {{"m.csv"}, "-o: expected the output root"},
      {{"-o", "R"}, "MANIFEST: expected the manifest file"},
      {{"m.csv", "-o", "R", "--jobs", "0"}, "--jobs: expected a whole number from 1 to 1024, found '0'"},
      {{"m.csv", "-o", "R", "--rgb", "x"}, "--rgb: comes from the manifest's rgb column"},
      {{"m.csv", "-o", "R", "--check", "--collect"}, "--collect: expected at most one of"},
      {{"m.csv", "-o"}, "-o: expected a value, found none"},
  };
  for (const auto& [args, expected] : refused) {
    try {
      parse_batch_arguments(args);
      ADD_FAILURE() << expected;
    } catch (const RunError& e) {
      EXPECT_EQ(e.status(), exit_usage);
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

TEST(BatchCommandLine, RefusesBadPlenosrOptionsBeforeAnythingRuns) {
  Sandbox s({{"a", "ok"}, {"z", "ok"}});
  EXPECT_EQ(s.batch({"--window", "0"}), exit_usage);
  EXPECT_EQ(s.batch({"--no-such-option"}), exit_usage);
  EXPECT_EQ(s.batch({"--threads", "x"}), exit_usage);
  EXPECT_EQ(s.batch({"--only", "3"}), exit_usage);
  EXPECT_EQ(s.runs("a"), 0);
  EXPECT_FALSE(fs::exists(s.root));
  write_text_file(s.dir + "/m.csv", "name,rgb,raw,geometry\na,a.in,a.in,a.in\n");
  EXPECT_EQ(s.batch({"--geometry", "g.yml"}), exit_usage);
  EXPECT_EQ(s.batch({"--check"}), exit_ok);
  write_text_file(s.dir + "/m.csv", "name,rgb,raw\n../a,a.in,a.in\n");
  EXPECT_EQ(s.batch({}), exit_input);
  EXPECT_EQ(s.runs("a"), 0);
}

TEST(BatchSummary, RowsRoundTripAndMessagesComeFromTheLog) {
  const SummaryRow r{"a", status_failed, 3, 12.25, "plenosr: x,\"y\".tiff: bad"};
  SummaryRow back;
  std::string line = format_row(r);
  line.pop_back();
  ASSERT_TRUE(parse_row(line, back));
  EXPECT_EQ(back.message, r.message);
  EXPECT_EQ(back.exit_status, 3);
  EXPECT_EQ(line, "a,failed,3,12.2,\"plenosr: x,\"\"y\"\".tiff: bad\"");
  const std::string log = "# plenosr ...\nplenosr: reading the exposure\niteration : 0\nplenosr: f.tiff: bad\nfinish\n";
  EXPECT_EQ(failure_message(log, 3 << 8), "plenosr: f.tiff: bad");
  EXPECT_EQ(failure_message("", 7 << 8), "ended with status 7 and no message");
  EXPECT_EQ(failure_message(log, SIGSEGV).rfind("killed by signal 11", 0), 0u);
  EXPECT_EQ(recorded_exit_status(SIGSEGV), 139);
}

TEST(BatchRun, OneBrokenExposureIsRecordedAndTheRestRun) {
  Sandbox s({{"a", "ok"}, {"b", "fail"}, {"c", "crash"}, {"d", "ok"}});
  EXPECT_EQ(s.batch({"--jobs", "2"}), exit_some_failed);
  const std::vector<SummaryRow> rows = s.summary();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].name + rows[0].status + std::to_string(rows[0].exit_status), "afinished0");
  EXPECT_EQ(rows[1].name + rows[1].status + std::to_string(rows[1].exit_status), "bfailed3");
  EXPECT_EQ(rows[1].message, "plenosr: " + s.dir + "/b.in: expected a good exposure, found a bad one");
  EXPECT_EQ(rows[2].name + rows[2].status + std::to_string(rows[2].exit_status), "cfailed139");
  EXPECT_NE(rows[2].message.find("killed by signal 11"), std::string::npos);
  EXPECT_EQ(rows[3].status, status_finished);
  EXPECT_EQ(read_text_file(s.root + "/d/result.txt"), "result of " + s.dir + "/d.in\n");
  EXPECT_EQ(s.batch({"--unfinished"}), exit_ok);
}

TEST(BatchRun, RerunSkipsFinishedExposuresAndRedoesTheOthersFromTheStart) {
  Sandbox s({{"a", "ok"}, {"b", "fail"}});
  EXPECT_EQ(s.batch({}), exit_some_failed);
  EXPECT_TRUE(fs::exists(s.root + "/b/partial.txt"));
  const auto a_time = fs::last_write_time(s.root + "/a/result.txt");
  write_text_file(s.dir + "/b.in", "ok");  // the broken input is mended
  EXPECT_EQ(s.batch({"--jobs", "2"}), exit_ok);
  EXPECT_EQ(s.runs("a"), 1);
  EXPECT_EQ(s.runs("b"), 2);
  EXPECT_EQ(fs::last_write_time(s.root + "/a/result.txt"), a_time);
  EXPECT_FALSE(fs::exists(s.root + "/b/partial.txt"));  // cleared before the new run
  for (const SummaryRow& r : s.summary()) EXPECT_EQ(r.status, status_finished) << r.name;
  // The marker decides: a finished exposure whose summary line was lost is still skipped.
  fs::remove(s.root + "/.batch/a.csv");
  EXPECT_EQ(s.batch({}), exit_ok);
  EXPECT_EQ(s.runs("a"), 1);
  EXPECT_EQ(s.summary()[0].status, status_finished);
  // Other options give other results: everything runs again.
  EXPECT_EQ(s.batch({"--outer", "2"}), exit_ok);
  EXPECT_EQ(s.runs("a"), 2);
}

TEST(BatchRun, LeavesADirectoryItDidNotMakeAlone) {
  Sandbox s({{"a", "ok"}, {"b", "ok"}});
  fs::create_directories(s.root + "/b");
  write_text_file(s.root + "/b/precious.txt", "keep");
  EXPECT_EQ(s.batch({}), exit_output);
  EXPECT_EQ(s.runs("a"), 0);
  EXPECT_EQ(read_text_file(s.root + "/b/precious.txt"), "keep");
  EXPECT_FALSE(fs::exists(s.root + "/.batch"));  // refused before the batch wrote anything
}

TEST(BatchRun, ArrayTasksWriteTheirOwnLinesAndCollectMergesThem) {
  Sandbox s({{"a", "ok"}, {"b", "fail"}, {"c", "ok"}});
  EXPECT_EQ(s.batch({"--only", "3"}), exit_ok);
  EXPECT_EQ(s.batch({"--only", "2"}), exit_some_failed);
  EXPECT_FALSE(fs::exists(s.root + "/batch-summary.csv"));
  EXPECT_EQ(s.runs("a"), 0);
  EXPECT_EQ(s.batch({"--collect"}), exit_some_failed);
  const std::vector<SummaryRow> rows = s.summary();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].status, status_not_run);
  EXPECT_EQ(rows[1].status, status_failed);
  EXPECT_EQ(rows[2].status, status_finished);
  EXPECT_EQ(s.batch({"--only", "3"}), exit_ok);  // finished: skipped
  EXPECT_EQ(s.runs("c"), 1);
}

TEST(BatchRun, SigtermStopsRunningExposuresAndStartsNoMore) {
  Sandbox s({{"a", "ok"}, {"b", "slow"}, {"c", "ok"}});
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(s.batch({}));
  // Signal once the slow exposure runs (the batch then waits with the signal blocked).
  for (int i = 0; i < 1000 && s.runs("b") == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(s.runs("b"), 1);
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), exit_terminated);
  const std::vector<SummaryRow> rows = s.summary();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].status, status_finished);
  EXPECT_EQ(rows[1].status + " " + std::to_string(rows[1].exit_status), "stopped 143");
  EXPECT_EQ(rows[1].message, "plenosr: terminated by SIGTERM");
  EXPECT_EQ(rows[2].status, status_not_run);
  EXPECT_EQ(s.runs("c"), 0);
}

TEST(BatchProgram, RealExposuresReportTheirOwnErrors) {
  // Inputs that are not images: the real plenosr refuses them at once.
  const std::string dir = make_temp_dir("batchreal");
  write_text_file(dir + "/x.tiff", "not an image");
  write_text_file(dir + "/m.csv", "name,rgb,raw\nx,x.tiff,x.tiff\n");
  std::string err;
  const std::string batch = std::string(PLENOSR_TOOLS_DIR) + "/plenosr-batch";
  EXPECT_EQ(run_command(batch + " " + dir + "/m.csv -o " + dir + "/out --outer 1", nullptr, &err), exit_some_failed)
      << err;
  const std::string summary = read_text_file(dir + "/out/batch-summary.csv");
  EXPECT_NE(summary.find("x,failed,3,"), std::string::npos) << summary;
  EXPECT_NE(summary.find("plenosr: " + dir + "/x.tiff: "), std::string::npos) << summary;
  EXPECT_EQ(run_command(batch + " " + dir + "/m.csv -o " + dir + "/out --mu -1", nullptr, &err), exit_usage);
  EXPECT_EQ(err, "plenosr-batch: --mu: expected a positive number up to 1e9, found '-1'\n");
  fs::remove_all(dir);
}

}  // namespace
