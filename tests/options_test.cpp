#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvale {
namespace {

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
  p.outcome = parse_options(static_cast<int>(argv.size()), argv.data(), &p.opt, &p.error);
  return p;
}

TEST(Options, HelpKeysAskForUsageAndUnknownKeysFail) {
  for (const char* key : {"-help", "-h", "--help"}) {
    const Parsed p = parse({"-i", "in.bmp", key, "-o"});
    EXPECT_EQ(p.outcome, ParseOutcome::usage) << key;
  }
  // A misspelt key must not pass for a request for help; the walk stops
  // there (the "-o" without value is not seen).
  for (const char* key : {"-H", "-foo", "-", "-sizexminu", "-sizeyminus", "-Fsc2", "--i", "-help2",
                          "-hh", "---", "-Quiet"}) {
    const Parsed p = parse({"-i", "in.bmp", key, "-o"});
    EXPECT_EQ(p.outcome, ParseOutcome::unknown_key) << key;
    EXPECT_EQ(p.error, std::string("unknown option ") + key);
  }
  const std::string usage = usage_text();
  for (const char* part : {"-resize GEOMETRY", "-out FILE", "-quiet", "0 .. input width - 1",
                           "1 .. 100", "-- INPUT...", "examples:"}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part;
  }
}

TEST(Options, EveryKeyReachesItsOwnField) {
  Parsed p =
      parse({"-i",    "a.bmp",    "-out",  "small/%s.bmp", "-resize", "50%",       "-maxpixels",
             "1000",  "-quality", "85",    "-quiet",       "-linear", "-norotate", "-strip",
             "-x",    "1",        "-orgx", "abc",          "-Fsc",    "2.5",       "-i2",
             "b.bmp", "--",       "c.png", "-d.jpg"});
  ASSERT_EQ(p.outcome, ParseOutcome::ok) << p.error;
  const ResizeOptions& o = p.opt;
  EXPECT_EQ(o.inputs, std::vector<std::string>({"a.bmp", "c.png", "-d.jpg"}));
  EXPECT_EQ(o.output_pattern, "small/%s.bmp");
  EXPECT_EQ(o.output_stem, "");
  EXPECT_TRUE(o.has_geometry);
  EXPECT_EQ(o.geometry_text, "50%");
  EXPECT_EQ(o.max_pixels, 1000);
  EXPECT_EQ(o.quality, 85);
  EXPECT_TRUE(o.quiet && o.linear && o.norotate && o.strip);
  // Ignored keys take their value unread, whatever it is.
  EXPECT_EQ(o.ignored, std::vector<std::string>({"-x", "-orgx", "-Fsc", "-i2"}));

  p = parse({"-o", "out", "-sizexminus", "-3", "-sizexminusy", "+12", "-i", "in.bmp"});
  ASSERT_EQ(p.outcome, ParseOutcome::ok) << p.error;
  EXPECT_EQ(p.opt.output_stem, "out");
  EXPECT_EQ(p.opt.sizexminus, -3);
  EXPECT_EQ(p.opt.sizexminusy, 12);
  EXPECT_EQ(p.opt.sizexminusy_text, "+12");
  EXPECT_EQ(p.opt.max_pixels, kDefaultMaxPixels);
  EXPECT_EQ(p.opt.quality, 0);
  EXPECT_FALSE(p.opt.quiet || p.opt.linear || p.opt.norotate || p.opt.strip || p.opt.has_geometry);
}

TEST(Options, WalkRules) {
  // Stray words are skipped; the last value wins; a value may start with '-';
  // a flag does not take the next word.
  Parsed p = parse({"-i", "in.bmp", "stray", "-o", "out", "-sizexminus", "10", "-sizexminus", "20",
                    "", "-quiet", "word", "-o", "-i", "-i", "again.bmp"});
  ASSERT_EQ(p.outcome, ParseOutcome::ok);
  EXPECT_EQ(p.opt.inputs, std::vector<std::string>({"again.bmp"}));
  EXPECT_EQ(p.opt.output_stem, "-i");
  EXPECT_EQ(p.opt.sizexminus, 20);
  EXPECT_EQ(p.opt.sizexminusy, 0);

  // Names of any length.
  const std::string long_name(5000, 'n');
  p = parse({"-i", long_name, "-o", long_name});
  ASSERT_EQ(p.outcome, ParseOutcome::ok);
  EXPECT_EQ(p.opt.inputs[0], long_name);
  EXPECT_EQ(p.opt.output_stem, long_name);

  for (const char* key : {"-i", "-i2", "-o", "-out", "-x", "-sizexminusy", "-Fsc", "-resize",
                          "-maxpixels", "-quality"}) {
    p = parse({"-sizexminus", "3", key});
    EXPECT_EQ(p.outcome, ParseOutcome::error) << key;
    EXPECT_EQ(p.error, std::string("option ") + key + " needs a value");
  }
}

TEST(Options, IntegersMustBeWholeDecimalNumbers) {
  for (const char* key : {"-sizexminus", "-sizexminusy", "-maxpixels", "-quality"}) {
    for (const std::string text :
         {"50%", "abc", "1e2", "12abc", " 5", "", "0x10", "5 ", "+", "-", "1.0", "--5", "5-"}) {
      const Parsed p = parse({"-i", "in.bmp", "-o", "out", key, text});
      EXPECT_EQ(p.outcome, ParseOutcome::error) << key << " \"" << text << "\"";
      EXPECT_EQ(p.error, std::string(key) + " \"" + text + "\" is not a whole decimal number");
    }
  }
  // Beyond int, and outside an option's own range: the text as typed.
  const std::vector<std::pair<std::vector<std::string>, std::string>> ranges = {
      {{"-sizexminus", "2147483648"},
       "-sizexminus 2147483648 is out of range: -2147483648 .. 2147483647"},
      {{"-sizexminusy", "-99999999999"},
       "-sizexminusy -99999999999 is out of range: -2147483648 .. 2147483647"},
      {{"-quality", "0"}, "-quality 0 is out of range: 1 .. 100"},
      {{"-quality", "101"}, "-quality 101 is out of range: 1 .. 100"},
      {{"-maxpixels", "0"}, "-maxpixels 0 is out of range: 1 .. 1073741824"},
      {{"-maxpixels", "1073741825"}, "-maxpixels 1073741825 is out of range: 1 .. 1073741824"}};
  for (const auto& [args, message] : ranges) {
    const Parsed p = parse(args);
    EXPECT_EQ(p.outcome, ParseOutcome::error) << message;
    EXPECT_EQ(p.error, message);
  }
  int v = 0;
  EXPECT_TRUE(parse_whole_int("-2147483648", &v));
  EXPECT_EQ(v, -2147483648LL);
  EXPECT_TRUE(parse_whole_int("007", &v));
  EXPECT_EQ(v, 7);
}

TEST(Options, ConflictingOptionsAreRefused) {
  Parsed p = parse({"-i", "in.bmp", "-o", "a", "-out", "b.bmp"});
  EXPECT_EQ(p.outcome, ParseOutcome::error);
  EXPECT_EQ(p.error, "-o STEM and -out FILE cannot be used together: give one output");
  for (const char* key : {"-sizexminus", "-sizexminusy"}) {
    p = parse({"-i", "in.bmp", "-o", "a", key, "0", "-resize", "50%"});
    EXPECT_EQ(p.outcome, ParseOutcome::error) << key;
    EXPECT_EQ(p.error,
              "-resize cannot be used with -sizexminus or -sizexminusy: give the size one way");
  }
  p = parse({"-i", "in.bmp", "-o", "a", "-resize", "50%%"});
  EXPECT_EQ(p.outcome, ParseOutcome::error);
  EXPECT_EQ(p.error.rfind("-resize 50%% is not a geometry", 0), 0u) << p.error;
}

}  // namespace
}  // namespace korvale
