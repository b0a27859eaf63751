// The main flow: options, the list of inputs and outputs, and each picture's
// load, resize and save.
#include "app/run.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/options.h"
#include "app/picture_io.h"
#include "bmp/bmp.h"
#include "common/color_plane.h"
#include "resize/resize.h"

namespace korvale {
namespace {

// One failure line on standard output.
void print_failure(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// SIGPIPE is ignored for the run: progress lines are best-effort, and a
// closed pipe on standard error (korvale ... 2>&1 | head -1) must not end the
// run. While an output is written the disposition the process started with is
// back, so that the writer's clean-up of its temporary file covers SIGPIPE as
// it covers the other ending signals.
class SigpipeIgnored {
 public:
  SigpipeIgnored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &before_);
  }
  ~SigpipeIgnored() { sigaction(SIGPIPE, &before_, nullptr); }
  SigpipeIgnored(const SigpipeIgnored&) = delete;
  SigpipeIgnored& operator=(const SigpipeIgnored&) = delete;

  // Runs fn with the disposition from before the run, one caller at a time
  // (the BMP writer keeps its temporary file's name for its signal handler in
  // one place, so outputs are probed and written one after the other).
  template <class Fn>
  auto as_before(Fn fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    struct sigaction ignore = {};
    sigaction(SIGPIPE, &before_, &ignore);
    auto result = fn();
    sigaction(SIGPIPE, &ignore, nullptr);
    return result;
  }

 private:
  struct sigaction before_ = {};
  std::mutex mutex_;
};

// -quiet: standard error goes to /dev/null while the pictures are processed
// (the resizer's progress lines are its only writes there).
class StderrSilenced {
 public:
  StderrSilenced() {
    std::fflush(stderr);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) return;
    saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (saved_ >= 0) dup2(null_fd, 2);
    close(null_fd);
  }
  ~StderrSilenced() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }
  StderrSilenced(const StderrSilenced&) = delete;
  StderrSilenced& operator=(const StderrSilenced&) = delete;

 private:
  int saved_ = -1;
};

// One input and where its output goes.
struct Job {
  std::string input;
  OutputTarget target;
};

// The resize run of the last picture, kept for the next one of the same
// size and reduction (its plans, tables and threads are built once).
struct RunCache {
  int w = 0, h = 0, a = 0, b = 0;
  ResizeRunPtr run;

  ResizeRun& get(int new_w, int new_h, int new_a, int new_b, int threads,
                 const ResizeSettings& settings) {
    if (!run || w != new_w || h != new_h || a != new_a || b != new_b) {
      run.reset();
      run = resize_run_begin(new_w, new_h, new_a, new_b, threads, settings);
      w = new_w;
      h = new_h;
      a = new_a;
      b = new_b;
    }
    return *run;
  }
};

// The output planes' names for the named-buffer failure message: gray or
// red, green, blue, then alpha.
const char* output_plane_name(int colors, int c) {
  static const char* const kRgb[] = {"RUPOUT", "GUPOUT", "BUPOUT", "AUPOUT"};
  static const char* const kGray[] = {"YUPOUT", "AUPOUT"};
  return colors == 1 ? kGray[c] : kRgb[c];
}

// Shrinks every channel of `in` (its planes `src`) into dst's planes (made
// here, out_w x out_h), on the run: each colour alone, or all of them
// premultiplied by alpha, alpha first. Without alpha only the first `resized`
// planes are resized here (the streamed BMP output resizes the last one as
// it writes the file).
//
// Without alpha, when the run allows it, each plane is instead shrunk in its
// own memory (and this returns true): the source's samples are swapped into
// their output plane and shrunk there, and the output buffer made for it goes
// back untouched with the source picture. The source's pages are resident
// already, while the kernel clears each fresh page of an output plane on its
// first write. The output planes are still made first, so a machine that
// cannot hold them fails as before, naming the plane.
template <class T>
bool shrink_planes(ResizeRun& run, const Picture& in, std::vector<Plane<T>>& src,
                   std::vector<Plane<T>>* dst, int out_w, int out_h, int resized) {
  const int channels = in.channels();
  for (int c = 0; c < channels; ++c) {
    dst->push_back(named_plane<T>(out_w, out_h, output_plane_name(in.colors, c)));
  }
  if (!in.alpha && resize_in_place_possible(run)) {
    for (int c = 0; c < channels; ++c) std::swap((*dst)[c].px, src[c].px);
    for (int c = 0; c < resized; ++c) resize_plane_in_place(run, (*dst)[c].px.get());
    return true;
  }
  // A picture that keeps its size is returned sample for sample, colour
  // under transparent pixels included, so each plane goes alone.
  if (!in.alpha || (out_w == in.w && out_h == in.h)) {
    for (int c = 0; c < resized; ++c) resize_plane(run, src[c], (*dst)[c]);
    return false;
  }
  const Plane<T>* colours[3];
  Plane<T>* out_colours[3];
  for (int c = 0; c < in.colors; ++c) {
    colours[c] = &src[c];
    out_colours[c] = &(*dst)[c];
  }
  resize_planes_with_alpha(run, colours, in.colors, src[in.colors], out_colours, (*dst)[in.colors]);
  return false;
}

// Says which reduction is out of range, quoting the value as it was typed,
// and what the range is.
std::string reduction_refusal(const char* key, const std::string& typed, int side,
                              const char* unit) {
  return std::string("-") + key + " " + typed + " is out of range: a picture of " +
         std::to_string(side) + " " + unit + " allows 0 .. " + std::to_string(side - 1);
}

// The output size for a picture of w x h: from -resize, or from the
// reductions. Returns "" or the refusal.
std::string output_size(const ResizeOptions& opt, int w, int h, int* out_w, int* out_h) {
  if (opt.has_geometry) {
    std::int64_t gw = 0;
    std::int64_t gh = 0;
    geometry_size(opt.geometry, w, h, &gw, &gh);
    if (gw > w || gh > h) {
      return "-resize " + opt.geometry_text + " asks for " + std::to_string(gw) + "x" +
             std::to_string(gh) + ", larger than the picture's " + std::to_string(w) + "x" +
             std::to_string(h) + ": korvale only shrinks";
    }
    *out_w = static_cast<int>(gw);
    *out_h = static_cast<int>(gh);
    return "";
  }
  if (opt.sizexminus < 0 || opt.sizexminus >= w) {
    return reduction_refusal("sizexminus", opt.sizexminus_text, w, "columns");
  }
  if (opt.sizexminusy < 0 || opt.sizexminusy >= h) {
    return reduction_refusal("sizexminusy", opt.sizexminusy_text, h, "rows");
  }
  *out_w = w - opt.sizexminus;
  *out_h = h - opt.sizexminusy;
  return "";
}

// The whole work for one picture. Returns "" or the failure line. With
// `stream`, a plain 8-bit BMP output is begun before the last colour is
// resized and filled as its rows come out, and a 24-bit BMP that keeps its
// size is copied from file to file (outputs are written one at a time, so
// pictures worked on side by side do neither).
std::string shrink_one(const Job& job, const ResizeOptions& opt, int threads, RunCache* cache,
                       SigpipeIgnored* sigpipe, bool stream) {
  // An input that is not a regular file, and an output that cannot or must not
  // be written, are refused before the work starts.
  if (std::string error = probe_bmp_input(job.input.c_str()); !error.empty()) return error;
  if (std::string error = sigpipe->as_before([&] { return probe_output(job.target); });
      !error.empty()) {
    return error;
  }

  ReadSettings read;
  read.max_pixels = opt.max_pixels;
  read.threads = threads;
  read.apply_orientation = !opt.norotate;

  // A 24-bit BMP on its way to a plain BMP file goes without planes for its
  // samples: the same bytes as through them. Such a file reads as 8-bit
  // colour without alpha, the default Picture. One that keeps its size is
  // copied strip by strip from file to file (a 0 x 0 run returns every
  // sample); one that shrinks both ways is read a block of rows at a time by
  // the resize's first step, once per colour; one that shrinks only in width
  // is shrunk a block of rows at a time, all colours at once, straight into
  // the output file's rows.
  if (stream && writes_plain_bmp(job.target, Picture())) {
    BmpCopy copy;
    int out_w = 0;
    int out_h = 0;
    if (open_bmp_copy(job.input.c_str(), read, &copy) &&
        output_size(opt, copy.width, copy.height, &out_w, &out_h).empty()) {
      if (out_w == copy.width && out_h == copy.height) {
        for (int c = 0; c < 3; ++c) resize_report_copy();
        return sigpipe->as_before([&] { return bmp_copy_write(copy, job.target.path.c_str()); });
      }
      if (out_w < copy.width) {
        ResizeSettings settings;
        settings.linear = opt.linear;
        ResizeRun& run = cache->get(copy.width, copy.height, copy.width - out_w,
                                    copy.height - out_h, threads, settings);
        BmpRowsSource src;
        bmp_rows_source_begin(&src, copy, run);
        if (out_h == copy.height) {
          return sigpipe->as_before(
              [&] { return save_bmp_colours_streamed(job.target, run, src, out_w, out_h); });
        }
        Picture out;
        out.w = out_w;
        out.h = out_h;
        for (int c = 0; c < 3; ++c) {
          out.planes.push_back(named_plane(out_w, out_h, output_plane_name(3, c)));
        }
        for (int c = 0; c < 2; ++c) {
          if (!shrink_bmp_colour(run, src, c, &out.planes[c])) return kBmpSizeError;
        }
        return sigpipe->as_before(
            [&] { return save_bmp_rows_streamed(job.target, run, src, &out); });
      }
    }
  }

  Picture in;
  if (std::string error = load_picture(job.input, read, &in); !error.empty()) return error;
  int out_w = 0;
  int out_h = 0;
  if (std::string error = output_size(opt, in.w, in.h, &out_w, &out_h); !error.empty()) {
    return error;
  }

  // Every channel in turn on one run built for this size; the metadata goes
  // along unchanged (the reader has already reset a kept Orientation).
  ResizeSettings settings;
  settings.linear = opt.linear;
  ResizeRun& run = cache->get(in.w, in.h, in.w - out_w, in.h - out_h, threads, settings);
  Picture out;
  out.w = out_w;
  out.h = out_h;
  out.bits = in.bits;
  out.colors = in.colors;
  out.alpha = in.alpha;
  stream = stream && writes_plain_bmp(job.target, in);
  bool in_place = false;
  if (in.bits == 16) {
    in_place = shrink_planes(run, in, in.wide, &out.wide, out_w, out_h, in.channels());
  } else {
    in_place = shrink_planes(run, in, in.planes, &out.planes, out_w, out_h,
                             stream ? in.colors - 1 : in.channels());
  }
  if (stream) {
    // The last colour's source: still in `in`, unless it has moved to out's
    // last plane to be shrunk there.
    ColorPlane last;
    if (!in_place) last = std::move(in.planes[in.colors - 1]);
    in = Picture();
    return sigpipe->as_before(
        [&] { return save_bmp_streamed(job.target, run, in_place ? nullptr : &last, &out); });
  }
  out.icc = std::move(in.icc);
  out.exif = std::move(in.exif);
  out.xmp = std::move(in.xmp);
  in = Picture();

  WriteSettings write;
  if (opt.quality != 0) write.quality = opt.quality;
  write.strip = opt.strip;
  std::vector<unsigned char> bytes;
  if (std::string error = encode_output(job.target, out, write, &bytes); !error.empty()) {
    return error;
  }
  return sigpipe->as_before([&] { return save_picture(job.target, out, bytes); });
}

// The path as a key for comparing outputs with each other and with inputs:
// absolute and normalised, links in its existing part resolved.
std::string path_key(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
  if (ec) p = std::filesystem::absolute(path, ec).lexically_normal();
  return p.string();
}

// Every input's output target, or the first refusal; checks that no two
// inputs write the same file and no output overwrites another input.
std::string plan_jobs(const ResizeOptions& opt, std::vector<Job>* jobs) {
  std::map<std::string, std::string> writer_of;  // output key -> input
  std::map<std::string, std::string> inputs;     // input key -> input
  for (const std::string& input : opt.inputs) inputs.emplace(path_key(input), input);
  for (const std::string& input : opt.inputs) {
    Job job;
    job.input = input;
    if (!opt.output_pattern.empty()) {
      std::string path;
      if (std::string error = expand_output_pattern(opt.output_pattern, input, &path);
          !error.empty()) {
        return error;
      }
      if (std::string error = path_target(path, &job.target); !error.empty()) return error;
    } else {
      job.target = stem_target(opt.output_stem);
    }
    const std::string key = path_key(job.target.path);
    if (const auto [at, fresh] = writer_of.emplace(key, input); !fresh) {
      return "inputs " + at->second + " and " + input + " would both be written to " +
             job.target.path + "; nothing was done";
    }
    if (const auto found = inputs.find(key);
        found != inputs.end() && opt.inputs.size() > 1 && path_key(input) != key) {
      return "the output of " + input + ", " + job.target.path + ", is the input " + found->second +
             "; nothing was done";
    }
    jobs->push_back(std::move(job));
  }
  return "";
}

// Most pictures worked on at once: each holds its planes and grids, so the
// memory of a run grows with this count.
constexpr int kMostPictureWorkers = 8;

// Prints a picture's failure; with several inputs the line names the input.
void report_failure(const Job& job, std::size_t job_count, std::string error) {
  if (job_count > 1 && error.rfind(job.input + ":", 0) != 0) error = job.input + ": " + error;
  print_failure(error);
}

// The pictures one after the other on the calling thread; returns the status.
int shrink_in_turn(const std::vector<Job>& jobs, const ResizeOptions& opt, int threads,
                   SigpipeIgnored* sigpipe) {
  RunCache cache;
  int status = 0;
  for (const Job& job : jobs) {
    std::string error = shrink_one(job, opt, threads, &cache, sigpipe, true);
    if (error.empty()) continue;
    report_failure(job, jobs.size(), error);
    status = 1;
  }
  return status;
}

// The pictures shared out among `workers` threads, each taking the next
// picture not yet taken; returns the status. SIGPIPE is blocked in the
// workers, so that a progress line meeting a closed pipe while an output is
// written (when the disposition is briefly the default) cannot end the run;
// a SIGPIPE sent to the process still reaches the main thread.
int shrink_in_parallel(const std::vector<Job>& jobs, const ResizeOptions& opt, int threads,
                       int workers, SigpipeIgnored* sigpipe) {
  const int threads_each = std::max(1, threads / workers);
  std::atomic<std::size_t> next{0};
  std::atomic<int> status{0};
  std::mutex print_mutex;
  auto work = [&] {
    RunCache cache;
    for (std::size_t i; (i = next.fetch_add(1)) < jobs.size();) {
      std::string error = shrink_one(jobs[i], opt, threads_each, &cache, sigpipe, false);
      if (error.empty()) continue;
      std::lock_guard<std::mutex> lock(print_mutex);
      report_failure(jobs[i], jobs.size(), error);
      status = 1;
    }
  };
  sigset_t pipe_only;
  sigset_t before;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &before);
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w) {
    // A thread the system refuses leaves the work to the others.
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (pool.empty()) return shrink_in_turn(jobs, opt, threads, sigpipe);
  for (std::thread& t : pool) t.join();
  return status;
}

}  // namespace

int run_resize(int argc, char** argv) {
  SigpipeIgnored sigpipe;

  // No option at all: usage.
  if (argc < 2) {
    std::fputs(usage_text(), stderr);
    return 0;
  }

  ResizeOptions opt;
  std::string error;
  switch (parse_options(argc, argv, &opt, &error)) {
    case ParseOutcome::ok:
      break;
    case ParseOutcome::usage:
      std::fputs(usage_text(), stderr);
      return 0;
    case ParseOutcome::unknown_key:
      print_failure(error);
      std::fputs(usage_text(), stderr);
      return 1;
    case ParseOutcome::error:
      print_failure(error);
      return 1;
  }
  if (opt.inputs.empty() || (opt.output_stem.empty() && opt.output_pattern.empty())) {
    print_failure(opt.inputs.empty() ? "no input file given: use -i NAME or -- NAME..."
                                     : "no output file given: use -o STEM or -out FILE");
    std::fputs(usage_text(), stderr);
    return 1;
  }
  if (!opt.quiet) {
    for (const std::string& key : opt.ignored) {
      std::fprintf(stderr, "%s has no effect (accepted and ignored)\n", key.c_str());
    }
  }

  // Threads for decoding and the plane resizes: KORVALE_THREADS, or every
  // hardware thread.
  int threads = 1;
  if (error = thread_count_from(std::getenv("KORVALE_THREADS"), &threads); !error.empty()) {
    print_failure(error);
    return 1;
  }

  // Every output is named, and its format known, before any work.
  std::vector<Job> jobs;
  if (error = plan_jobs(opt, &jobs); !error.empty()) {
    print_failure(error);
    return 1;
  }

  std::optional<StderrSilenced> silenced;
  if (opt.quiet) silenced.emplace();
  // With several pictures and more threads than one picture needs, pictures
  // are shared out among up to kMostPictureWorkers workers, each with its
  // share of the threads; outputs do not depend on the thread count.
  const int workers = std::min({static_cast<int>(jobs.size()), threads, kMostPictureWorkers});
  return workers > 1 ? shrink_in_parallel(jobs, opt, threads, workers, &sigpipe)
                     : shrink_in_turn(jobs, opt, threads, &sigpipe);
}

}  // namespace korvale
