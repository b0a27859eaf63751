#include "app/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/usage_text.h"

namespace korvale {
namespace {

using test::run_in_child;

const std::string kUsage = kUsageText;

struct Parsed {
  ParseOutcome outcome;
  ResizeOptions opt;
  std::string error;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "korvale");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  Parsed p;
  orgx = 720;
  orgy = 480;
  p.outcome = parse_options_checked(static_cast<int>(argv.size()), argv.data(), &p.opt, &p.error);
  return p;
}

// parse_options in a child: its exit status (0 when it returned) and output.
test::ChildResult run_parse(std::vector<std::string> args) {
  args.insert(args.begin(), "korvale");
  return run_in_child([&] {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    ResizeOptions opt;
    parse_options(static_cast<int>(argv.size()), argv.data(), &opt);
  });
}

TEST(Options, HelpPrintsUsageAndUnknownKeysFail) {
  for (const char* key : {"-help", "-h"}) {
    const test::ChildResult r = run_parse({"-i", "in.bmp", key, "-o"});
    EXPECT_EQ(r.status, 0) << key;
    EXPECT_EQ(r.err, kUsage) << key;
    EXPECT_EQ(r.out, "") << key;
  }
  // A misspelt key must not pass for a request for help: the usage follows the
  // failure line, and the walk stops there (the "-o" without value is not seen).
  for (const char* key :
       {"-H", "-foo", "-", "-sizexminu", "-sizeyminus", "-Fsc2", "--i", "-help2", "-hh"}) {
    const test::ChildResult r = run_parse({"-i", "in.bmp", key, "-o"});
    EXPECT_EQ(r.status, 1) << key;
    EXPECT_EQ(r.err, kUsage) << key;
    EXPECT_EQ(r.out, std::string("unknown option ") + key + "\n") << key;
  }
  const test::ChildResult r = run_in_child([] { print_usage(); });
  EXPECT_EQ(r.err, kUsage);
}

TEST(Options, EveryKeyReachesItsOwnField) {
  const Parsed p =
      parse({"-x",           "1",     "-y",        "2",     "-startx",   "3",  "-starty",     "4",
             "-hv",          "5",     "-bunshi",   "6",     "-bunbo",    "7",  "-norm",       "8",
             "-mado",        "9",     "-tapnum_y", "10",    "-tapnum_c", "11", "-sizexminus", "12",
             "-sizexminusy", "13",    "-orgx",     "14",    "-orgy",     "15", "-Fsc",        "2.5",
             "-i",           "a.bmp", "-i2",       "b.bmp", "-o",        "out"});
  ASSERT_EQ(p.outcome, ParseOutcome::ok);
  const ResizeOptions& o = p.opt;
  EXPECT_EQ(std::vector<int>({o.x, o.y, o.startx, o.starty, o.hv, o.bunshi, o.bunbo, o.norm, o.mado,
                              o.tapnum_y, o.tapnum_c, o.sizexminus, o.sizexminusy, orgx, orgy}),
            std::vector<int>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(o.Fsc, 2.5);
  EXPECT_STREQ(o.input, "a.bmp");
  EXPECT_STREQ(o.input2, "b.bmp");
  EXPECT_STREQ(o.output, "out");
}

TEST(Options, WalkRules) {
  // Stray words are skipped; the last value wins; a value may start with '-'.
  Parsed p = parse({"-i", "in.bmp", "stray", "-o", "out", "-sizexminus", "10", "-sizexminus", "20",
                    "", "-o", "-i"});
  ASSERT_EQ(p.outcome, ParseOutcome::ok);
  EXPECT_STREQ(p.opt.input, "in.bmp");
  EXPECT_STREQ(p.opt.output, "-i");
  EXPECT_EQ(p.opt.sizexminus, 20);
  EXPECT_EQ(p.opt.sizexminusy, 0);
  EXPECT_EQ(p.opt.x, 720);
  EXPECT_EQ(p.opt.y, 480);
  EXPECT_EQ(orgx, 720);

  // Numbers as atoi/atof read them; out-of-range integers saturate.
  p = parse({"-sizexminus", "abc", "-sizexminusy", " 12px", "-x", "-7", "-y", "99999999999",
             "-startx", "-99999999999", "-Fsc", "1e1x"});
  ASSERT_EQ(p.outcome, ParseOutcome::ok);
  EXPECT_EQ(p.opt.sizexminus, 0);
  EXPECT_EQ(p.opt.sizexminusy, 12);
  EXPECT_EQ(p.opt.x, -7);
  EXPECT_EQ(p.opt.y, INT_MAX);
  EXPECT_EQ(p.opt.startx, INT_MIN);
  EXPECT_EQ(p.opt.Fsc, 10.0);
}

TEST(Options, KeyWithoutValueIsAnError) {
  for (const char* key : {"-i", "-i2", "-o", "-x", "-sizexminusy", "-Fsc", "-orgy"}) {
    const Parsed p = parse({"-x", "3", key});
    EXPECT_EQ(p.outcome, ParseOutcome::error) << key;
    EXPECT_EQ(p.error, std::string("option ") + key + " needs a value");
  }
  const test::ChildResult r = run_parse({"-i", "in.bmp", "-sizexminus"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "option -sizexminus needs a value\n");
  EXPECT_EQ(r.err, "");
}

TEST(Options, NamesMustFitTheirFields) {
  for (const char* key : {"-i", "-i2"}) {
    Parsed p = parse({key, std::string(127, 'n')});
    EXPECT_EQ(p.outcome, ParseOutcome::ok) << key;
    p = parse({key, std::string(128, 'n')});
    EXPECT_EQ(p.outcome, ParseOutcome::error) << key;
    EXPECT_EQ(p.error,
              std::string("option ") + key + ": name of 128 characters is too long (at most 127)");
  }
  // The output stem also needs room for ".bmp".
  Parsed p = parse({"-o", std::string(123, 's')});
  EXPECT_EQ(p.outcome, ParseOutcome::ok);
  EXPECT_EQ(std::string(p.opt.output), std::string(123, 's'));
  p = parse({"-o", std::string(124, 's')});
  EXPECT_EQ(p.outcome, ParseOutcome::error);
  EXPECT_EQ(p.error, "option -o: name of 124 characters is too long (at most 123)");

  const test::ChildResult r = run_parse({"-i", std::string(300, 'n')});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "option -i: name of 300 characters is too long (at most 127)\n");
}

}  // namespace
}  // namespace korvale
