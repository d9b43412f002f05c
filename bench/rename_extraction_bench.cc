// Content extraction of the rename flow on the large inputs it meets: a 24-megapixel photo,
// which goes through the JPEG size-reduction loop, and a 200-page PDF, read for text or, with
// little text, drawn as a picture of its first page.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <stdexcept>
#include <unistd.h>

#include "vilmo/rename/FileContent.h"
#include "vilmo/tests/rename_fixtures.h"

namespace {

namespace fs = std::filesystem;
using namespace rename_fixtures;

// A folder of fixtures for the whole run, removed at exit.
class Fixtures {
 public:
  Fixtures()
      : folder_(fs::temp_directory_path() /
                ("rename_extraction_bench." + std::to_string(::getpid()))) {
    fs::create_directories(folder_);
  }
  ~Fixtures() { fs::remove_all(folder_); }
  fs::path path(const std::string& name) const { return folder_ / name; }

 private:
  fs::path folder_;
};

Fixtures& fixtures() {
  static Fixtures instance;
  return instance;
}

const fs::path& photo() {
  static const fs::path path = [] {
    const fs::path p = fixtures().path("photo.jpg");
    writeFile(p, encodeImage(photoLikeImage(6000, 4000), "jpeg", 95));
    return p;
  }();
  return path;
}

fs::path longPDF(const std::string& name, int linesPerPage) {
  std::vector<std::vector<std::string>> pages(200);
  for (int page = 0; page < 200; ++page) {
    for (int line = 0; line < linesPerPage; ++line) {
      pages[page].push_back("Page " + std::to_string(page + 1) + ", line " +
                            std::to_string(line + 1) + ": quarterly figures and notes");
    }
  }
  const fs::path p = fixtures().path(name);
  writeFile(p, makeTextPDF(pages));
  return p;
}

void run(benchmark::State& state, const fs::path& file, const char* expectedKind) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::optional<FileContent> content = extractFileContent(file);
    if (!content || content->kind != expectedKind) throw std::runtime_error("unexpected content");
    bytes = content->data.size();
  }
  state.counters["input_bytes"] = static_cast<double>(fs::file_size(file));
  state.counters["content_bytes"] = static_cast<double>(bytes);
}

void Photo24Megapixel(benchmark::State& state) { run(state, photo(), "image"); }
BENCHMARK(Photo24Megapixel)->Unit(benchmark::kMillisecond)->UseRealTime();

void PDF200PagesText(benchmark::State& state) {
  static const fs::path pdf = longPDF("text.pdf", 80);
  run(state, pdf, "text");
}
BENCHMARK(PDF200PagesText)->Unit(benchmark::kMillisecond)->UseRealTime();

void PDF200PagesFirstPagePicture(benchmark::State& state) {
  static const fs::path pdf = longPDF("sparse.pdf", 0);
  run(state, pdf, "image");
}
BENCHMARK(PDF200PagesFirstPagePicture)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
