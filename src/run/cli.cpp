// Command-line parsing with CLI11; numbers are parsed here so that every refusal names the
// option, what was expected and what was found.
#include "cli.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "errors.h"
#include "quality_params.h"
#include "textformat.h"

namespace {

RunError bad_option(const std::string& name, const std::string& expected, const std::string& found) {
  return RunError(exit_usage, name + ": expected " + expected + ", found '" + found + "'");
}

int parse_int(const std::string& name, const std::string& text, long lo, long hi, const std::string& expected) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi)
    throw bad_option(name, expected, text);
  return static_cast<int>(v);
}

// Weights above this would only make the result directory's name absurdly long.
constexpr double max_weight = 1e9;

double parse_positive(const std::string& name, const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) || !(v > 0) ||
      v > max_weight)
    throw bad_option(name, "a positive number up to 1e9", text);
  return v;
}

// What an option fills and how its value is read.
enum class Kind {
  text,      // a string field, taken as given
  whole,     // an int field, a whole number in [lo, hi]
  positive,  // a double field, a positive number up to max_weight
  flag,      // a bool field set by the flag
  off_flag   // a bool field cleared by the flag
};

// One command-line option: the field it fills, its name, value name, range and help. The
// default shown by --help is the field's default in RunOptions.
struct OptionRow {
  Kind kind;
  const char* names;      // CLI11 names, e.g. "-o,--output"
  const char* value;      // value name in --help ("" for flags)
  const char* help;
  long lo = 0, hi = 0;    // range of a whole number
  bool show_default = true;
  std::string* (*text)(RunOptions&) = nullptr;
  int* (*whole)(RunOptions&) = nullptr;
  double* (*number)(RunOptions&) = nullptr;
  bool* (*flag)(RunOptions&) = nullptr;
};

OptionRow text_option(const char* names, const char* value, const char* help,
                       std::string* (*field)(RunOptions&), bool show_default = true) {
  OptionRow o{Kind::text, names, value, help};
  o.text = field;
  o.show_default = show_default;
  return o;
}
OptionRow whole_option(const char* names, const char* help, long lo, long hi,
                        int* (*field)(RunOptions&)) {
  OptionRow o{Kind::whole, names, "N", help, lo, hi};
  o.whole = field;
  return o;
}
OptionRow positive_option(const char* names, const char* help, double* (*field)(RunOptions&)) {
  OptionRow o{Kind::positive, names, "X", help};
  o.number = field;
  return o;
}
OptionRow flag_option(Kind kind, const char* names, const char* help,
                       bool* (*field)(RunOptions&)) {
  OptionRow o{kind, names, "", help};
  o.flag = field;
  return o;
}

// Every option, in the order --help lists them and values are checked.
std::vector<OptionRow> option_table() {
  return {
      text_option("--rgb", "PATH", "demosaiced colour exposure, 8-bit 3-channel TIFF",
                  [](RunOptions& o) { return &o.rgb_path; }),
      text_option("--raw", "PATH", "raw colour-mosaic exposure, 8-bit 1-channel TIFF, same size",
                  [](RunOptions& o) { return &o.raw_path; }),
      text_option("--geometry", "FILE", "lenslet grid of the camera unit (JSON geometry file)",
                  [](RunOptions& o) { return &o.geometry_path; }, false),
      text_option("-o,--output", "DIR", "output root directory (created if missing)",
                  [](RunOptions& o) { return &o.output_root; }),
      whole_option("--outer", "outer iterations, one result image each (N >= 0)", 0, 100000,
                   [](RunOptions& o) { return &o.sr.outer_iterations; }),
      whole_option("--inner", "most descent steps per outer iteration (N >= 0)", 0, 100000,
                   [](RunOptions& o) { return &o.sr.inner_iterations; }),
      positive_option("--mu", "weight of the L1 term (X > 0); names the result directory",
                      [](RunOptions& o) { return &o.sr.mu; }),
      positive_option("--lambda", "weight tying split variables to the differences (X > 0)",
                      [](RunOptions& o) { return &o.sr.lambda; }),
      whole_option("--min-disparity", "lowest disparity of the search, view columns per view step",
                   -1000, 1000, [](RunOptions& o) { return &o.depth.min_disparity; }),
      whole_option("--max-disparity", "highest disparity of the search (N >= --min-disparity)",
                   -1000, 1000, [](RunOptions& o) { return &o.depth.max_disparity; }),
      whole_option("--window", "side of the cost-smoothing window, pixels (N >= 1)", 1, 1001,
                   [](RunOptions& o) { return &o.depth.window_size; }),
      flag_option(Kind::off_flag, "--no-joint",
                  "keep the initial depth map instead of re-estimating it",
                  [](RunOptions& o) { return &o.sr.joint; }),
      flag_option(Kind::off_flag, "--no-yuv", "regularise each colour channel separately",
                  [](RunOptions& o) { return &o.sr.use_yuv; }),
      flag_option(Kind::flag, "--export-views", "also write the 81 views to DIR/view/view000.ppm ...",
                  [](RunOptions& o) { return &o.export_views; }),
      flag_option(Kind::flag, "--png", "also write every image as PNG beside its PPM / PGM",
                  [](RunOptions& o) { return &o.png; }),
      flag_option(Kind::flag, "--float-depth",
                  "also write each depth map as PFM (float disparity) and as a colour-mapped PNG",
                  [](RunOptions& o) { return &o.float_depth; }),
      flag_option(Kind::off_flag, "--no-wait",
                  "do not wait for one character on stdin before exiting",
                  [](RunOptions& o) { return &o.wait; }),
      flag_option(Kind::flag, "-q,--quiet", "no progress and no summary on stderr (errors still print)",
                  [](RunOptions& o) { return &o.quiet; }),
      whole_option("--threads", "worker threads, 0 = every core (same bytes for any N)", 0, 1024,
                   [](RunOptions& o) { return &o.threads; }),
      flag_option(Kind::flag, "--reference", "use the plain reference loops (slow; same bytes)",
                  [](RunOptions& o) { return &o.reference; }),
  };
}

// The long name of an option ("--output" of "-o,--output").
std::string long_name(const OptionRow& row) {
  const std::string names = row.names;
  return names.substr(names.rfind(',') + 1);
}

// A default as --help shows it: whole numbers as they are, weights with one decimal at least.
std::string default_text(double v) {
  std::string t = strformat("%.17g", v);
  if (t.find_first_of(".e") == std::string::npos) t += ".0";
  return t;
}

}  // namespace

RunOptions parse_command_line(int argc, char** argv) {
  RunOptions o;
  CLI::App app{
      "plenosr: raw-domain super-resolution and depth for one plenoptic (lenslet) exposure.\n"
      "\n"
      "Reads two 8-bit TIFF files of the same size (7728 x 5368 for the calibrated camera):\n"
      "the demosaiced colour image (--rgb, 3 channels) and the raw colour mosaic (--raw,\n"
      "1 channel). Cuts 81 sub-aperture views, estimates a disparity map by a plane sweep and\n"
      "reconstructs a 2450 x 1634 colour image, re-estimating depth after every outer\n"
      "iteration unless --no-joint is given.\n"
      "\n"
      "Writes below DIR (--output, created if missing): bicubic.ppm, bigSR/view081/\n"
      "depthmapbig.pgm and the diagnostic images blur, motion10/60, error10/60 (.ppm), and\n"
      "bigSR/view081/L1/<mu>/[joint/] with normerror.txt (appended), srNN.ppm and\n"
      "depth/depthNN.pgm; view/viewNNN.ppm with --export-views. Every image is written whole\n"
      "or not at all. The run's own lines go to standard output; progress, the summary and\n"
      "errors go to standard error.\n"
      "\n"
      "Exit status: 0 done; 2 bad option; 3 bad input file; 4 output not writable (or disk\n"
      "full); 5 internal error; 130 stopped by SIGINT; 143 stopped by SIGTERM.",
      "plenosr"};
  app.set_version_flag("--version", std::string("plenosr ") + PLENOSR_VERSION);
  app.get_formatter()->column_width(36);

  // Numbers are read as text and checked below, so that a refusal names the range.
  const std::vector<OptionRow> table = option_table();
  std::string mode = "exact";
  // Quality-mode values as text, parsed and range-checked after CLI11.
  const std::vector<QualityParamInfo>& qtable = quality_param_table();
  std::vector<std::string> qtext;
  for (const QualityParamInfo& info : qtable) qtext.push_back(strformat("%g", o.quality.*info.field));
  std::vector<std::string> values(table.size());
  const std::unique_ptr<bool[]> flags(new bool[table.size()]());
  RunOptions defaults;
  for (size_t i = 0; i < table.size(); ++i) {
    const OptionRow& row = table[i];
    CLI::Option* option = nullptr;
    switch (row.kind) {
      case Kind::text:
        option = app.add_option(row.names, *row.text(o), row.help);
        break;
      case Kind::whole:
        values[i] = std::to_string(*row.whole(defaults));
        option = app.add_option(row.names, values[i], row.help);
        break;
      case Kind::positive:
        values[i] = default_text(*row.number(defaults));
        option = app.add_option(row.names, values[i], row.help);
        break;
      case Kind::flag:
      case Kind::off_flag:
        app.add_flag(row.names, flags[i], row.help);
        continue;
    }
    option->type_name(row.value);
    if (row.show_default) option->capture_default_str();
    if (long_name(row) == "--output")
      app.add_option("--mode", mode,
                     "exact: the fixed reconstruction (results in bigSR/view081/L1/); quality: sub-pixel "
                     "depth and reconstruction (results in bigSR/view081/quality/)")
          ->type_name("exact|quality")->capture_default_str();
  }
  for (size_t i = 0; i < qtable.size(); ++i)
    app.add_option(std::string("--") + qtable[i].option, qtext[i], qtable[i].help)
        ->type_name(qtable[i].whole ? "N" : "X")->capture_default_str()->group("Quality mode");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    std::exit(app.exit(e));
  } catch (const CLI::ExtrasError&) {
    // Name the first argument that was not understood.
    const std::vector<std::string> extras = app.remaining();
    const std::string first = extras.empty() ? std::string("?") : extras.front();
    if (!first.empty() && first[0] == '-')
      throw RunError(exit_usage, first + ": unknown option (see --help)");
    throw RunError(exit_usage, first + ": unexpected argument; the tool takes options only (see --help)");
  } catch (const CLI::ArgumentMismatch& e) {
    // "--mu: 1 required X missing" / "--output: At Most 1 required but received 2"
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(':'));
    if (what.find("missing") != std::string::npos)
      throw RunError(exit_usage, name + ": expected a value, found none (see --help)");
    if (what.find("received") != std::string::npos)
      throw RunError(exit_usage, name + ": expected once, found more than once (see --help)");
    throw RunError(exit_usage, what + " (see --help)");
  } catch (const CLI::ParseError& e) {
    throw RunError(exit_usage, e.what() + std::string(" (see --help)"));
  }

  for (size_t i = 0; i < table.size(); ++i) {
    const OptionRow& row = table[i];
    const std::string name = long_name(row);
    if (row.kind == Kind::whole)
      *row.whole(o) = parse_int(name, values[i], row.lo, row.hi,
                                 strformat("a whole number from %ld to %ld", row.lo, row.hi));
    else if (row.kind == Kind::positive)
      *row.number(o) = parse_positive(name, values[i]);
    else if (row.kind == Kind::flag || row.kind == Kind::off_flag)
      *row.flag(o) = flags[i] != (row.kind == Kind::off_flag);
  }
  if (o.depth.min_disparity > o.depth.max_disparity) {
    const auto given = [&](const char* name) {
      for (size_t i = 0; i < table.size(); ++i)
        if (long_name(table[i]) == name) return values[i];
      return std::string();
    };
    throw RunError(exit_usage, "--min-disparity: expected at most --max-disparity (" +
                                   given("--max-disparity") + "), found '" +
                                   given("--min-disparity") + "'");
  }
  if (o.output_root.empty()) throw bad_option("--output", "a directory path", "");
  if (mode == "exact")
    o.mode = RunMode::exact;
  else if (mode == "quality")
    o.mode = RunMode::quality;
  else
    throw bad_option("--mode", "exact or quality", mode);
  for (size_t i = 0; i < qtable.size(); ++i) {
    const QualityParamInfo& info = qtable[i];
    const std::string name = std::string("--") + info.option;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(qtext[i].c_str(), &end);
    if (qtext[i].empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
      throw bad_option(name, "a number", qtext[i]);
    o.quality.*info.field = v;
  }
  check_quality_params(o.quality);
  return o;
}
