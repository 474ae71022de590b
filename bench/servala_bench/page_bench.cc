// The handler serving the throughput script's SSI page and 4 KiB file, with kept files, as a
// slot's handler does for each request: no sockets, only the work between request and reply.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <winport/clock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "file_cache.h"
#include "servala/http.h"

namespace {

namespace fs = std::filesystem;

struct Site {
  Site() {
    char pattern[] = "/tmp/servala_page_bench.XXXXXX";
    root = ::mkdtemp(pattern);
    std::ofstream(root / "inc.html") << "<p>included text</p>\n";
    std::ofstream(root / "ssi.html") << "<html><head><title>SSI</title></head><body>\n"
                                        "<!--#include virtual=\"/inc.html\" -->\n"
                                        "<p>Now: <!--#echo var=\"DATE_GMT\" --></p>\n"
                                        "</body></html>\n";
    std::ofstream(root / "file4k.txt") << std::string(4096, 'x');
    // Files changed just now are not kept; move the clock past them.
    winport::SetNow(std::time(nullptr) + 60);
  }
  ~Site() { fs::remove_all(root); }
  fs::path root;
};

void Serve(benchmark::State& state, const char* name) {
  static Site site;
  servala::ContentTypeCache types;
  servala::FileCache files;
  servala::cls_HTTP h;
  h.VirtualPath = site.root.string();
  h.ServerSoftware = "Marrowind Servala Lite/1.0";
  h.ServerPort = "80";
  h.SSIEnable = true;
  h.Types = &types;
  h.Files = &files;
  h.Context.RemoteAddr = "127.0.0.1";
  const std::string path = (site.root / name).string();
  for (auto _ : state) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::string reply = h.ServeFile(path, servala::FileIdentity::Of(st), "200", h.Context);
    benchmark::DoNotOptimize(reply);
  }
}

void BM_SsiPage(benchmark::State& state) { Serve(state, "ssi.html"); }
void BM_File4k(benchmark::State& state) { Serve(state, "file4k.txt"); }
BENCHMARK(BM_SsiPage);
BENCHMARK(BM_File4k);

}  // namespace

BENCHMARK_MAIN();
