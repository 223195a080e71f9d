// The link handler against a plain model of how received chunks become records: random
// byte streams (a registration, then data with lone FE chunks among it) cut into random
// chunks, sent over a real connection, compared record by record with the model fed the
// chunks as the server read them.
#include <random>
#include <thread>

#include "EndToEndFixture.h"
#include "WaitFor.h"

namespace {

struct Record {
  int kind;
  Bytes data;
  bool operator==(const Record&) const = default;
};

// The rules: the first 21 bytes register (the record holds bytes 0 to 19); every byte
// after them is handed on with the chunk it came in. The rest of the registration's
// chunk is a unit, and so is every later chunk: a heartbeat when it is exactly the byte
// FE, user data otherwise. A unit holds at most 10239 bytes; more is taken as
// consecutive units.
std::vector<Record> Model(const Bytes& stream, const std::vector<std::size_t>& chunks) {
  constexpr std::size_t kRoom = DATA_ITEM_PAYLOAD - 1;
  std::vector<Record> records;
  Bytes registration;
  std::size_t at = 0;
  for (const std::size_t size : chunks) {
    const Bytes chunk = Slice(stream, at, at + size);
    at += size;
    std::size_t offset = 0;
    if (registration.size() < 21) {
      offset = std::min(chunk.size(), 21 - registration.size());
      registration.insert(registration.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(offset));
      if (registration.size() == 21) records.push_back({DATA_REGISTER, Slice(registration, 0, 20)});
    }
    while (offset < chunk.size()) {
      const Bytes unit = Slice(chunk, offset, std::min(chunk.size(), offset + kRoom));
      offset += unit.size();
      records.push_back({unit == Bytes{0xFE} ? DATA_HEARTBEAT : DATA_USER, unit});
    }
  }
  return records;
}

// Chunks as a device might send them: the registration cut at random (its tail maybe
// sharing a chunk with data, or with a lone FE), then lone FEs, small, medium and buffer-sized chunks.
std::vector<Bytes> RandomChunks(std::mt19937& random, const Bytes& registration) {
  auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  std::vector<Bytes> chunks;
  std::size_t from = 0;
  for (int cut = 0, cuts = static_cast<int>(below(3)); cut < cuts; ++cut) {
    const std::size_t to = from + 1 + below(registration.size() - from - 1);
    chunks.push_back(Slice(registration, from, to));
    from = to;
  }
  chunks.push_back(Slice(registration, from, registration.size()));
  const bool tailShared = below(2) == 0;
  for (int i = 0; i < 60; ++i) {
    const std::size_t pick = below(100);
    std::size_t size = pick < 15 ? 0 : pick < 55 ? 1 + below(32) : pick < 85 ? 33 + below(2000) : 8000 + below(2241);
    Bytes chunk;
    if (size == 0) {
      chunk = Bytes{0xFE};
    } else {
      chunk.resize(size);
      for (unsigned char& byte : chunk) byte = below(8) == 0 ? 0xFE : static_cast<unsigned char>(below(256));
    }
    if (i == 0 && tailShared)
      chunks.back().insert(chunks.back().end(), chunk.begin(), chunk.end());
    else
      chunks.push_back(chunk);
  }
  return chunks;
}

TEST_F(EndToEndTest, RecordsFollowTheModelForRandomChunkings) {
  Configure({"00C0FFEE"});
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::vector<Bytes> chunks = RandomChunks(random, Registration(0x00C0FFEE));
    Bytes stream;
    for (const Bytes& chunk : chunks) stream.insert(stream.end(), chunk.begin(), chunk.end());

    list.Clear();
    const std::size_t chunksBefore = server->Chunks().size();
    // Heartbeats reach the port too (no filter): everything after the registration does.
    Bytes toPort;
    std::jthread reader([&] { toPort = local->Read(stream.size() - 21, std::chrono::seconds(60)); });
    auto device = Connect();
    for (const Bytes& chunk : chunks) SendChunk(*device, chunk);

    const std::vector<std::size_t> all = server->Chunks();
    const std::vector<std::size_t> read(all.begin() + static_cast<std::ptrdiff_t>(chunksBefore), all.end());
    std::size_t total = 0;
    for (std::size_t size : read) total += size;
    ASSERT_EQ(total, stream.size());
    const std::vector<Record> expected = Model(stream, read);
    ASSERT_TRUE(WaitFor([&] { return DeviceEvents("00C0FFEE").size() >= expected.size(); }));
    std::vector<Record> got;
    // A registration record's packet bytes; the connection's source follows them.
    for (const Told& told : DeviceEvents("00C0FFEE"))
      got.push_back({told.kind, told.kind == DATA_REGISTER ? Slice(told.data, 0, 20) : told.data});
    EXPECT_TRUE(got == expected) << got.size() << " records, " << expected.size() << " expected";

    Bytes expectedAtPort;
    for (const Record& record : expected)
      if (record.kind != DATA_REGISTER) expectedAtPort.insert(expectedAtPort.end(), record.data.begin(), record.data.end());
    EXPECT_EQ(expectedAtPort.size(), stream.size() - 21);
    device.reset();
    reader.join();
    EXPECT_TRUE(toPort == expectedAtPort) << toPort.size() << " bytes at the port, " << expectedAtPort.size()
                                          << " expected";
    ASSERT_TRUE(WaitFor([&] { return DeviceEvents("00C0FFEE").back().kind == DATA_OFFLINE; }));
  }
}

}  // namespace
