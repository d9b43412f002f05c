// The analytics data path beside its floors, each pair in one program on the same data, run one
// after the other, and the ratio project / floor printed at the end:
// - decode and encode of 50 bundles of 100 events with 10 parameters each: the message engine
//   against plain nanopb structs with callback fields over the same bytes (strings are views
//   into the input, elements go to vectors reused from one round to the next);
// - allocations per bundle on decode and encode (bench/allocation_counter.h);
// - 10,000 raw events inserted in one transaction through the raw-event family, against bare
//   SQLite with one prepared statement writing the same rows;
// - a batch of 100 bundles read from the upload queue, against SELECT + inflate + one nanopb
//   decode of each bundle.
// The raw-event and queue rows also time the wire-message work of the project side alone
// (_Codec) and print the ratio without it: the share of the store path itself.
// Measure pinned to one core (taskset -c N) and compare the ratios of several runs; on a busy
// machine the CPU-time ratio, printed beside the wall-time one, is the steadier of the two.
// The allocator's thresholds for mapping and trimming are fixed before the first row: left to
// move, they followed the largest block freed so far, so a row's figure depended on the rows
// before it (the queue read's codec share came out larger than the whole read it is part of).
#include <malloc.h>
#include <sqlite3.h>
#include <zlib.h>

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "analytics/data/APMDatabaseRawEvents.h"
#include "analytics/data/APMDatabaseUploadQueue.h"
#include "analytics/data/APMEvent.h"
#include "analytics/messages/APMPBMessageEngine.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBMessageTables.h"
#include "analytics/messages/APMPBMessages.h"
#include "analytics/messages/Protos/event.pb.h"
#include "analytics/messages/Protos/measurement_bundle.pb.h"
#include "bench/bundle_sample.h"
#include "bench/raw_event_sample.h"
#include "bench/ratio_reporter.h"
#include "foundation/ZULGzip.h"
#include "platform/clock.h"
#include "platform/data.h"
#include "tests/support/temp_home.h"

namespace {

using namespace bench_bundles;

// ---- The floor: nanopb structs with callback fields.

struct View {
  const pb_byte_t* bytes = nullptr;
  std::size_t size = 0;
};

struct FloorParam {
  nano_EventParam pb;
  View name;
  View stringValue;
  std::uint32_t firstChild = 0;
  std::uint32_t childCount = 0;
};

struct FloorEvent {
  nano_Event pb;
  View name;
  std::uint32_t firstParam = 0;
  std::uint32_t paramCount = 0;
};

// One decoded bundle. Strings point into the bytes it was decoded from; parameters of array
// values (one level, as events have) sit in `children`.
struct FloorBundle {
  nano_MeasurementBundle pb;
  std::array<View, 80> strings;  // by tag
  std::vector<FloorEvent> events;
  std::vector<FloorParam> params;
  std::vector<FloorParam> children;
};

bool readView(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* view = static_cast<View*>(*arg);
  view->bytes = static_cast<const pb_byte_t*>(stream->state);
  view->size = stream->bytes_left;
  return pb_read(stream, nullptr, stream->bytes_left);
}

bool decodeParamInto(pb_istream_t* stream, FloorBundle& bundle, std::vector<FloorParam>& into,
                     bool nested);

bool decodeChild(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* bundle = static_cast<FloorBundle*>(*arg);
  return decodeParamInto(stream, *bundle, bundle->children, true);
}

bool decodeParam(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* bundle = static_cast<FloorBundle*>(*arg);
  return decodeParamInto(stream, *bundle, bundle->params, false);
}

bool decodeParamInto(pb_istream_t* stream, FloorBundle& bundle, std::vector<FloorParam>& into,
                     bool nested) {
  FloorParam param{};
  param.pb.name.funcs.decode = &readView;
  param.pb.name.arg = &param.name;
  param.pb.string_value.funcs.decode = &readView;
  param.pb.string_value.arg = &param.stringValue;
  if (!nested) {
    param.firstChild = static_cast<std::uint32_t>(bundle.children.size());
    param.pb.param_value.funcs.decode = &decodeChild;
    param.pb.param_value.arg = &bundle;
  }
  if (!pb_decode(stream, nano_EventParam_fields, &param.pb)) return false;
  if (!nested)
    param.childCount = static_cast<std::uint32_t>(bundle.children.size()) - param.firstChild;
  into.push_back(param);
  return true;
}

bool decodeEvent(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* bundle = static_cast<FloorBundle*>(*arg);
  FloorEvent event{};
  event.firstParam = static_cast<std::uint32_t>(bundle->params.size());
  event.pb.params.funcs.decode = &decodeParam;
  event.pb.params.arg = bundle;
  event.pb.name.funcs.decode = &readView;
  event.pb.name.arg = &event.name;
  if (!pb_decode(stream, nano_Event_fields, &event.pb)) return false;
  event.paramCount = static_cast<std::uint32_t>(bundle->params.size()) - event.firstParam;
  bundle->events.push_back(event);
  return true;
}

// Every string field of the bundle is read as a view; the events are decoded into structs.
bool floorDecode(const pb_byte_t* bytes, std::size_t length, FloorBundle& bundle) {
  bundle.pb = nano_MeasurementBundle{};
  bundle.strings = {};
  bundle.events.clear();
  bundle.params.clear();
  bundle.children.clear();
  pb_field_iter_t iter;
  if (pb_field_iter_begin(&iter, nano_MeasurementBundle_fields, &bundle.pb)) {
    do {
      if (PB_ATYPE(iter.type) != PB_ATYPE_CALLBACK || PB_HTYPE(iter.type) == PB_HTYPE_REPEATED ||
          iter.tag >= bundle.strings.size())
        continue;
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      callback->funcs.decode = &readView;
      callback->arg = &bundle.strings[iter.tag];
    } while (pb_field_iter_next(&iter));
  }
  bundle.pb.events.funcs.decode = &decodeEvent;
  bundle.pb.events.arg = &bundle;
  pb_istream_t stream = pb_istream_from_buffer(bytes, length);
  return pb_decode(&stream, nano_MeasurementBundle_fields, &bundle.pb);
}

bool writeView(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* view = static_cast<const View*>(*arg);
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, view->bytes, view->size);
}

// The bundle being encoded: the element callbacks find their parameters there.
const FloorBundle* encoding = nullptr;

void prepareParam(const FloorParam& param, nano_EventParam& pb);

bool encodeChildren(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* param = static_cast<const FloorParam*>(*arg);
  for (std::uint32_t i = 0; i < param->childCount; ++i) {
    nano_EventParam pb;
    prepareParam(encoding->children[param->firstChild + i], pb);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, nano_EventParam_fields, &pb))
      return false;
  }
  return true;
}

void prepareParam(const FloorParam& param, nano_EventParam& pb) {
  pb = param.pb;
  pb.name = {};
  pb.string_value = {};
  pb.param_value = {};
  if (param.name.bytes != nullptr) {
    pb.name.funcs.encode = &writeView;
    pb.name.arg = const_cast<View*>(&param.name);
  }
  if (param.stringValue.bytes != nullptr) {
    pb.string_value.funcs.encode = &writeView;
    pb.string_value.arg = const_cast<View*>(&param.stringValue);
  }
  if (param.childCount != 0) {
    pb.param_value.funcs.encode = &encodeChildren;
    pb.param_value.arg = const_cast<FloorParam*>(&param);
  }
}

bool encodeParams(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* event = static_cast<const FloorEvent*>(*arg);
  for (std::uint32_t i = 0; i < event->paramCount; ++i) {
    nano_EventParam pb;
    prepareParam(encoding->params[event->firstParam + i], pb);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, nano_EventParam_fields, &pb))
      return false;
  }
  return true;
}

bool encodeEvents(pb_ostream_t* stream, const pb_field_t* field, void* const*) {
  for (const FloorEvent& event : encoding->events) {
    nano_Event pb = event.pb;
    pb.params = {};
    pb.name = {};
    if (event.paramCount != 0) {
      pb.params.funcs.encode = &encodeParams;
      pb.params.arg = const_cast<FloorEvent*>(&event);
    }
    if (event.name.bytes != nullptr) {
      pb.name.funcs.encode = &writeView;
      pb.name.arg = const_cast<View*>(&event.name);
    }
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, nano_Event_fields, &pb))
      return false;
  }
  return true;
}

// Sized by a counting pass, then written into `out` (whose capacity is reused).
bool floorEncode(const FloorBundle& bundle, std::vector<pb_byte_t>& out) {
  encoding = &bundle;
  nano_MeasurementBundle pb = bundle.pb;
  pb_field_iter_t iter;
  if (pb_field_iter_begin(&iter, nano_MeasurementBundle_fields, &pb)) {
    do {
      if (PB_ATYPE(iter.type) != PB_ATYPE_CALLBACK) continue;
      auto* callback = static_cast<pb_callback_t*>(iter.pData);
      *callback = {};
      if (PB_HTYPE(iter.type) == PB_HTYPE_REPEATED || iter.tag >= bundle.strings.size() ||
          bundle.strings[iter.tag].bytes == nullptr)
        continue;
      callback->funcs.encode = &writeView;
      callback->arg = const_cast<View*>(&bundle.strings[iter.tag]);
    } while (pb_field_iter_next(&iter));
  }
  pb.events.funcs.encode = &encodeEvents;
  std::size_t size = 0;
  if (!pb_get_encoded_size(&size, nano_MeasurementBundle_fields, &pb)) return false;
  out.resize(size);
  pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
  return pb_encode(&stream, nano_MeasurementBundle_fields, &pb);
}

// ---- Data

void countAllocations(benchmark::State& state, std::uint64_t counted, int units) {
  state.counters["allocs_per_bundle"] =
      static_cast<double>(counted) / static_cast<double>(state.iterations() * units);
}

// ---- Decode and encode

void Decode_Project(benchmark::State& state) {
  std::uint64_t counted = 0;
  for (auto _ : state) counted += decodeEach(bundles());
  countAllocations(state, counted, kBundles);
}

void Decode_Floor(benchmark::State& state) {
  FloorBundle bundle;
  std::uint64_t counted = 0;
  for (auto _ : state) {
    for (const platform::Data& data : bundles()) {
      const std::uint64_t before = bench_allocations::count;
      if (!floorDecode(data.bytes(), data.length(), bundle)) std::abort();
      counted += bench_allocations::count - before;
      benchmark::DoNotOptimize(bundle);
    }
  }
  countAllocations(state, counted, kBundles);
}

void Encode_Project(benchmark::State& state) {
  std::vector<MessageInfo*> infos;
  for (const platform::Data& data : bundles()) infos.push_back(decodedBundle(data));
  std::uint64_t counted = 0;
  for (auto _ : state) counted += encodeEach(infos);
  for (MessageInfo* info : infos) nano_message_free(nano_MeasurementBundle_table, info);
  countAllocations(state, counted, kBundles);
}

void Encode_Floor(benchmark::State& state) {
  std::vector<FloorBundle> decoded(bundles().size());
  for (std::size_t b = 0; b < decoded.size(); ++b)
    if (!floorDecode(bundles()[b].bytes(), bundles()[b].length(), decoded[b])) std::abort();
  std::vector<pb_byte_t> out;
  // Both sides write the same bytes.
  if (!floorEncode(decoded[0], out) ||
      platform::Data(out.data(), out.size()) !=
          *APMPBMeasurementBundle::initWithBuffer(&bundles()[0])->protoBuffer())
    state.SkipWithError("the floor writes other bytes");
  std::uint64_t counted = 0;
  for (auto _ : state) {
    for (const FloorBundle& bundle : decoded) {
      const std::uint64_t before = bench_allocations::count;
      if (!floorEncode(bundle, out)) std::abort();
      counted += bench_allocations::count - before;
      benchmark::DoNotOptimize(out.data());
    }
  }
  countAllocations(state, counted, kBundles);
}

// ---- Raw events in one transaction

constexpr int kRawEvents = 10000;
constexpr std::int64_t kFingerprint = kBenchMetadataFingerprint;

class BenchDatabase final : public APMDatabaseRawEvents, public APMDatabaseUploadQueue {
 public:
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, platform::ErrorPtr* error) override {
    return APMDatabaseRawEvents::deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error);
  }
};

void RawEventInsert_Project(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto database = openDatabase<BenchDatabase>(home, state);
  if (!database) return;
  const auto event = sampleEvent();
  for (auto _ : state) {
    const bool ok = database->performTransaction([&] {
      for (int i = 0; i < kRawEvents; ++i)
        if (!database->insertRawEvent(event, kFingerprint, false, nullptr)) return false;
      return true;
    });
    if (!ok) state.SkipWithError("insert failed");
  }
}

void RawEventInsert_Floor(benchmark::State& state) {
  testing_support::TemporaryHome home;
  // The same table as the family's, and the same stored bytes.
  auto database = openDatabase<BenchDatabase>(home, state);
  if (!database) return;
  const auto event = sampleEvent();
  const std::string path = database->sqliteStore()->databasePath();
  database.reset();
  const auto proto = event->protoEvent();
  nano_clear_field(proto.get(), 1);
  const platform::Data data = *proto->protoBuffer();

  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
      SQLITE_OK) {
    state.SkipWithError("database did not open");
    sqlite3_close(db);
    return;
  }
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
    for (int i = 0; i < kRawEvents; ++i) {
      sqlite3_bind_text(insert, 1, event->name().c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_double(insert, 2, event->timestamp());
      sqlite3_bind_int64(insert, 3, kFingerprint);
      sqlite3_bind_blob(insert, 4, data.bytes(), static_cast<int>(data.length()), SQLITE_STATIC);
      sqlite3_bind_int64(insert, 5, 0);
      if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

// The encoding each row of RawEventInsert_Project does, alone: the share of the wire-message
// runtime in that figure, so that the store's own share can be told apart.
void RawEventInsert_Codec(benchmark::State& state) {
  const auto event = sampleEvent();
  for (auto _ : state) {
    for (int i = 0; i < kRawEvents; ++i) {
      auto data = event->protoBytes(/*withName=*/false);
      if (!data) state.SkipWithError("encode failed");
      benchmark::DoNotOptimize(data);
    }
  }
}

// ---- A batch of 100 bundles from the queue

constexpr int kQueued = 100;
constexpr int kQueuedEvents = 50;

// A database whose queue holds kQueued bundles; null after marking the benchmark skipped.
std::unique_ptr<BenchDatabase> queueDatabase(const testing_support::TemporaryHome& home,
                                             benchmark::State& state) {
  auto database = openDatabase<BenchDatabase>(home, state);
  if (!database) return nullptr;
  const auto endMillis =
      static_cast<std::int64_t>(platform::Clock::current().now().timeIntervalSince1970() * 1000);
  for (int b = 0; b < kQueued; ++b) {
    const auto data = platform::Data::fromString(bundleBytes(b, kQueuedEvents, endMillis));
    const auto bundle = APMPBMeasurementBundle::initWithBuffer(&data);
    if (!bundle || !database->insertBundle(*bundle, false, nullptr)) {
      state.SkipWithError("insert failed");
      return nullptr;
    }
  }
  return database;
}

void QueueRead_Project(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto database = queueDatabase(home, state);
  if (!database) return;
  for (auto _ : state) {
    const auto batch =
        database->queryBundlesWithCountLimit(kQueued, std::int64_t{1} << 40, nullptr);
    if (!batch || batch->size() != kQueued) {
      state.SkipWithError("batch incomplete");
      return;
    }
    benchmark::DoNotOptimize(batch);
  }
}

// The decoding each row of QueueRead_Project does, alone, on the rows' inflated bytes (the
// bundles are kept to the end of the round, as the batch is).
void QueueRead_Codec(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto database = queueDatabase(home, state);
  if (!database) return;
  const auto records = database->sqliteStore()->recordsForQuery(
      "SELECT data FROM queue ORDER BY rowid ASC", {}, nullptr);
  std::vector<platform::Data> inflated;
  for (const platform::Dictionary& record : records.value_or(std::vector<platform::Dictionary>()))
    if (auto bytes = zul_dataByInflatingGzippedData(*record["data"].asData()))
      inflated.push_back(std::move(*bytes));
  if (inflated.size() != kQueued) {
    state.SkipWithError("rows did not read");
    return;
  }
  for (auto _ : state) {
    std::vector<std::shared_ptr<APMPBMeasurementBundle>> batch;
    for (const platform::Data& bytes : inflated) {
      auto bundle = APMPBMeasurementBundle::initWithBuffer(&bytes);
      if (!bundle) {
        state.SkipWithError("row did not decode");
        return;
      }
      batch.push_back(std::move(bundle));
    }
    benchmark::DoNotOptimize(batch);
  }
}

// The gzip member's inflated bytes, sized by its trailer.
bool inflateInto(const void* bytes, int length, std::vector<pb_byte_t>& out) {
  if (length < 18) return false;
  const auto* tail = static_cast<const unsigned char*>(bytes) + length - 4;
  const std::size_t size = tail[0] | tail[1] << 8 | tail[2] << 16 | std::size_t{tail[3]} << 24;
  out.resize(size);
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
  z.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
  z.avail_in = static_cast<uInt>(length);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(size);
  const int result = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return result == Z_STREAM_END && z.avail_out == 0;
}

void QueueRead_Floor(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto database = queueDatabase(home, state);
  if (!database) return;
  sqlite3* db = database->sqliteStore()->sqliteHandle();
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?",
                     -1, &select, nullptr);
  std::vector<std::vector<pb_byte_t>> inflated(kQueued);
  std::vector<FloorBundle> decoded(kQueued);
  for (auto _ : state) {
    sqlite3_bind_int64(select, 1, kQueued);
    int row = 0;
    while (sqlite3_step(select) == SQLITE_ROW && row < kQueued) {
      if (!inflateInto(sqlite3_column_blob(select, 1), sqlite3_column_bytes(select, 1),
                       inflated[row]) ||
          !floorDecode(inflated[row].data(), inflated[row].size(), decoded[row])) {
        state.SkipWithError("row did not read");
        break;
      }
      ++row;
    }
    sqlite3_reset(select);
    if (row != kQueued) state.SkipWithError("batch incomplete");
    benchmark::DoNotOptimize(decoded.data());
  }
  sqlite3_finalize(select);
}

}  // namespace

int main(int argc, char** argv) {
  // Where a long-running process settles once it has freed a few large blocks: every block
  // up to the largest threshold from the heap, which is trimmed at twice that. Fresh pages for
  // a bundle's arena on one row and reused ones on the next would measure the allocator.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // Each pair one after the other, project first; the codec's share of the project figure
  // after the pair.
  const std::pair<const char*, void (*)(benchmark::State&)> kRuns[] = {
      {"Decode_Project", &Decode_Project},
      {"Decode_Floor", &Decode_Floor},
      {"Encode_Project", &Encode_Project},
      {"Encode_Floor", &Encode_Floor},
      {"RawEventInsert_Project", &RawEventInsert_Project},
      {"RawEventInsert_Floor", &RawEventInsert_Floor},
      {"RawEventInsert_Codec", &RawEventInsert_Codec},
      {"QueueRead_Project", &QueueRead_Project},
      {"QueueRead_Floor", &QueueRead_Floor},
      {"QueueRead_Codec", &QueueRead_Codec},
  };
  for (const auto& [name, run] : kRuns)
    benchmark::RegisterBenchmark(name, run)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench_support::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
