// plenosr-eval: measures a finished run (bicubic baseline, every outer iteration's image and
// depth map) against a sample's ground truth; prints a table, writes it as CSV, draws plots.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "errors.h"
#include "lib/report.h"

int main(int argc, char** argv) {
  std::string rundir, gtdir;
  EvalOptions o;
  CLI::App app{
      "plenosr-eval: quality of a run against ground truth.\n"
      "RUNDIR is the run's output root (e.g. WORK/result), GTDIR the sample's gt/ directory.\n"
      "Prints PSNR and SSIM of bicubic.ppm and of every srNN.ppm, and the disparity error (RMSE,\n"
      "share off by more than 0.25 and 0.5) of the first depth map (row 'initial') and of every\n"
      "re-estimated one; writes RUNDIR/report/quality.csv, psnr.png, energy.png, depth.png and\n"
      "crops.png. A joint run rewrites its first depth map: --initial names the output root of\n"
      "an --outer 0 run on the same inputs, whose depthmapbig is that first map.",
      "plenosr-eval"};
  app.footer("A root that holds both an exact and a quality run (bigSR/view081/quality/) also gets a\n"
             "table of both modes side by side: bicubic, first depth map and final result of each.");
  app.add_option("RUNDIR", rundir, "output root of the run")->required();
  app.add_option("GTDIR", gtdir, "ground-truth directory of the sample")->required();
  app.add_option("--border", o.border, "pixels left out on every side")->capture_default_str()->check(CLI::Range(0, 500));
  app.add_option("--min-disparity", o.min_disparity, "the run's --min-disparity (reads its depth pictures)")
      ->capture_default_str();
  app.add_option("--max-disparity", o.max_disparity, "the run's --max-disparity")->capture_default_str();
  app.add_option("--report", o.report_dir, "where to write the report (default RUNDIR/report/)");
  app.add_option("--initial", o.initial_root,
                 "output root of an --outer 0 (or --no-joint) run on the same inputs: its depth map is the first one");
  CLI11_PARSE(app, argc, argv);

  try {
    if (o.min_disparity >= o.max_disparity)
      throw RunError(exit_usage, "--min-disparity: expected less than --max-disparity");
    std::error_code ec;
    if (!std::filesystem::is_directory(rundir, ec))
      throw RunError(exit_input, rundir + ": not a directory (expected a run's output root)");
    if (!o.initial_root.empty() && !std::filesystem::is_directory(o.initial_root, ec))
      throw RunError(exit_input, o.initial_root + ": not a directory (expected the output root of an --outer 0 run)");
    const Truth truth = read_truth(gtdir);
    const RunFiles run = find_run_files(rundir);
    const std::vector<QualityRow> rows = evaluate_run(run, truth, o);
    const std::vector<std::string> written = write_report(run, truth, rows, o);
    for (const std::string& f : written) std::cout << "wrote " << f << "\n";
    std::cout << "\nquality against " << gtdir << " (interior, border " << o.border << " px)\n"
              << format_table(rows) << std::flush;
    const std::string modes = format_mode_table(rows);
    if (!modes.empty()) std::cout << "\nexact and quality mode side by side\n" << modes << std::flush;
    return exit_ok;
  } catch (const RunError& e) {
    std::cerr << "plenosr-eval: " << e.what() << std::endl;
    return e.status();
  } catch (const std::exception& e) {
    std::cerr << "plenosr-eval: internal error: " << e.what() << std::endl;
    return exit_internal;
  }
}
