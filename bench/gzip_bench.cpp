// How fast the reader's own gzip decoder is against zlib's inflate: the same gzip body (a
// generated 5 MB RSS feed compressed by zlib at its default level) decoded into a buffer of the
// declared size by both. Reported as decoded bytes per second, and one run that times both in
// turn and reports the ratio (gzipDecode speed / zlib speed; the goal is at least 0.5).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "retrieval/gzip.h"

namespace {

std::string MakeFeed(size_t size) {
  std::string feed =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\"><channel>"
      "<title>Benchmark feed</title><link>http://example.com/</link>\n";
  uint32_t state = 12345;
  auto next = [&state] { return state = state * 1103515245u + 12345u; };
  for (int i = 0; feed.size() < size; ++i) {
    feed += "<item><title>Story " + std::to_string(i) + ": markets move as " +
            std::to_string(next() % 1000) + " traders react</title>\n<link>http://example.com/news/" +
            std::to_string(next() % 100000) + ".html</link>\n<guid isPermaLink=\"false\">" +
            std::to_string(next()) + "</guid>\n<pubDate>Mon, 0" + std::to_string(next() % 10) +
            " May 2024 1" + std::to_string(next() % 10) +
            ":30:00 GMT</pubDate>\n<description>Lorem ipsum dolor sit amet, consectetur "
            "adipiscing elit &amp; sed do eiusmod tempor " +
            std::to_string(next() % 77777) +
            " incididunt ut labore et dolore magna aliqua.</description></item>\n";
  }
  return feed + "</channel></rss>\n";
}

struct Sample {
  std::string feed;
  std::vector<uint8_t> body;
};

const Sample& TheSample() {
  static const Sample sample = [] {
    Sample s;
    s.feed = MakeFeed(5 << 20);
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    s.body.resize(deflateBound(&stream, s.feed.size()));
    stream.next_in = reinterpret_cast<Bytef*>(s.feed.data());
    stream.avail_in = static_cast<uInt>(s.feed.size());
    stream.next_out = s.body.data();
    stream.avail_out = static_cast<uInt>(s.body.size());
    deflate(&stream, Z_FINISH);
    s.body.resize(stream.total_out);
    deflateEnd(&stream);
    return s;
  }();
  return sample;
}

bool DecodeOurs(const std::vector<uint8_t>& body, std::vector<uint8_t>& out) {
  size_t declared = 0;
  if (nubrel::gzipDecode(nullptr, declared, body.data(), body.size()) != 0) return false;
  if (out.size() < declared + 2) out.resize(declared + 2);
  size_t produced = 0;
  return nubrel::gzipDecode(out.data(), produced, body.data(), body.size()) == 0;
}

bool DecodeZlib(const std::vector<uint8_t>& body, std::vector<uint8_t>& out) {
  const size_t declared = body[body.size() - 4] | body[body.size() - 3] << 8 |
                          body[body.size() - 2] << 16 | static_cast<size_t>(body.back()) << 24;
  if (out.size() < declared + 2) out.resize(declared + 2);
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(body.data());
  stream.avail_in = static_cast<uInt>(body.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(declared);
  const int result = inflate(&stream, Z_FINISH);
  inflateEnd(&stream);
  return result == Z_STREAM_END;
}

template <bool (*Decode)(const std::vector<uint8_t>&, std::vector<uint8_t>&)>
void BM_Decode(benchmark::State& state) {
  const Sample& sample = TheSample();
  std::vector<uint8_t> out;
  for (auto _ : state) {
    if (!Decode(sample.body, out)) state.SkipWithError("the body did not decode");
    benchmark::DoNotOptimize(out.data());
  }
  if (out.size() < sample.feed.size() ||
      std::string_view(reinterpret_cast<const char*>(out.data()), sample.feed.size()) !=
          sample.feed) {
    state.SkipWithError("the decoded bytes differ from the feed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sample.feed.size()));
  state.counters["compressed"] = static_cast<double>(sample.body.size());
}

void BM_GzipDecode(benchmark::State& state) { BM_Decode<DecodeOurs>(state); }
void BM_ZlibInflate(benchmark::State& state) { BM_Decode<DecodeZlib>(state); }

// Times both decoders in alternation so that both see the same machine load.
void BM_SpeedRatio(benchmark::State& state) {
  const Sample& sample = TheSample();
  std::vector<uint8_t> out;
  using Clock = std::chrono::steady_clock;
  Clock::duration ours{}, zlib{};
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!DecodeOurs(sample.body, out)) state.SkipWithError("gzipDecode failed");
    const auto middle = Clock::now();
    if (!DecodeZlib(sample.body, out)) state.SkipWithError("inflate failed");
    zlib += Clock::now() - middle;
    ours += middle - start;
  }
  const double bytes = static_cast<double>(state.iterations() * sample.feed.size());
  const double oursSeconds = std::chrono::duration<double>(ours).count();
  const double zlibSeconds = std::chrono::duration<double>(zlib).count();
  state.counters["gzipDecode_MBps"] = bytes / oursSeconds / 1e6;
  state.counters["zlib_MBps"] = bytes / zlibSeconds / 1e6;
  state.counters["ratio"] = zlibSeconds / oursSeconds;
}

}  // namespace

BENCHMARK(BM_GzipDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpeedRatio)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
