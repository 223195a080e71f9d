#include <gtest/gtest.h>

#include <netinet/tcp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "TestAppDirectory.h"
#include "TestClient.h"
#include "TestServer.h"
#include "FreePort.h"
#include "WaitFor.h"
#include "net/CSocket.h"
#include "platform/CManualResetEvent.h"
#include "platform/DebugSink.h"

using namespace std::chrono_literals;
using Sockora::CSocket;
using Sockora::Win32::CManualResetEvent;

namespace {

// Runs `action` on its own thread; if it has not returned within `bound` the program ends
// as a failure instead of hanging.
void FinishesWithin(std::function<void()> action, std::chrono::seconds bound = 30s) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([action = std::move(action), done] {
    action();
    done->set_value();
  }).detach();
  if (finished.wait_for(bound) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: did not finish within %lld s (hang)\n", static_cast<long long>(bound.count()));
    std::_Exit(1);
  }
}

std::string Pattern(std::size_t bytes, char seed) {
  std::string data(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(seed + i % 61);
  return data;
}

// The set-up of the tests that write through a connection themselves: a server that
// issues no receive and hands each accepted connection over, one client connected, and
// its connection, referenced until the test ends.
class SocketServerHeld : public ::testing::Test {
 protected:
  SocketServerHeld() {
    options.readOnAccept = false;
    options.holdSockets = true;
  }
  ~SocketServerHeld() override {
    if (socket != nullptr) socket->Release();
  }

  // Starts a server with `options`, once `prepare` has set its hooks, and connects the
  // client with that receive buffer (0: the system's).
  void Connect(const std::function<void(TestServer&)>& prepare = {}, int receiveBufferBytes = 0) {
    server.emplace(options);
    if (prepare) prepare(*server);
    server->StartListening();
    client.emplace(server->ListeningPort(), receiveBufferBytes);
    ASSERT_TRUE(server->WaitCount("Accepted", 1));
    const std::vector<TestServer::Socket*> held = server->TakeHeldSockets();
    ASSERT_EQ(held.size(), 1u);
    socket = held[0];
  }

  // For the hooks; declared first, so that they outlive the server's workers.
  CManualResetEvent events[3];
  TestServer::Options options;
  std::optional<TestServer> server;
  std::optional<TestClient> client;
  TestServer::Socket* socket = nullptr;
};

}  // namespace

// Each way of issuing the next receive: posted to a worker, or issued by the handler's
// own worker (ReadNow), with plain and zero-byte reads.
TEST(SocketServer, EchoesWhatItReceivesBothWays) {
  for (const bool readNow : {false, true}) {
    for (const bool zeroByteReads : {false, true}) {
      SCOPED_TRACE(std::string(readNow ? "ReadNow" : "Read") + (zeroByteReads ? ", zero-byte reads" : ""));
      TestServer::Options options;
      options.readNow = readNow;
      options.zeroByteReads = zeroByteReads;
      TestServer server(options);
      server.StartListening();
      TestClient client(server.ListeningPort());
      ASSERT_TRUE(client.Connected());

      const std::vector<std::string> messages = {"hello", Pattern(10240, 'a'), Pattern(100000, 'k')};
      for (const std::string& message : messages) {
        ASSERT_TRUE(client.Send(message));
        EXPECT_EQ(client.Receive(message.size()), message) << message.size() << " bytes";
      }
      EXPECT_EQ(server.Count("Accepted"), 1);
      EXPECT_EQ(server.Count("Created"), 1);
    }
  }
}

// With zero-byte reads a connection that waits for data holds no buffer of the pool: one
// is taken when data is there, and given back with the echo. Only the accept loop holds
// one, for the address of the next connection.
TEST(SocketServer, WithZeroByteReadsAWaitingConnectionHoldsNoBuffer) {
  TestServer::Options options;
  options.zeroByteReads = true;
  TestServer server(options);
  server.StartListening();
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<TestClient>(server.ListeningPort()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  ASSERT_TRUE(server.WaitCount("Accepted", 20));
  EXPECT_TRUE(WaitFor([&] { return server.BuffersOut() <= 1; })) << server.BuffersOut() << " buffers held";

  const std::vector<std::string> messages = {"hello", Pattern(10240, 'a'), Pattern(100000, 'k')};
  for (auto& client : clients) {
    for (const std::string& message : messages) {
      ASSERT_TRUE(client->Send(message));
      EXPECT_EQ(client->Receive(message.size()), message) << message.size() << " bytes";
    }
  }
  EXPECT_TRUE(WaitFor([&] { return server.BuffersOut() <= 1; })) << server.BuffersOut() << " buffers held";
}

TEST_F(SocketServerHeld, WritesLeaveInWriteOrderWhenWorkersTakeThemOutOfOrder) {
  options.workers = 3;
  // The request numbered 0 waits until 2 has been handled, 1 until 0 has: the three
  // workers get through them in the order 2, 0, 1.
  static thread_local int current = -1;
  ASSERT_NO_FATAL_FAILURE(Connect([this](TestServer& server) {
    server.onWriteRequest = [this](std::uint32_t sequence) {
      current = static_cast<int>(sequence);
      if (sequence == 0) {
        EXPECT_TRUE(events[2].Wait(20000));
      } else if (sequence == 1) {
        EXPECT_TRUE(events[0].Wait(20000));
      }
    };
    server.onWorkFinished = [this] {
      if (current >= 0 && current < 3) events[current].Set();
      current = -1;
    };
  }));

  EXPECT_TRUE(socket->Write("first ", 6));
  EXPECT_TRUE(socket->Write("second ", 7));
  EXPECT_TRUE(socket->Write("third", 5));
  EXPECT_EQ(client->Receive(18), "first second third");
}

// A send started on the writer's own thread does not overtake one posted before it that
// a worker has not issued yet.
TEST_F(SocketServerHeld, WriteNowKeepsItsPlaceBehindAPostedWrite) {
  CManualResetEvent& secondIssued = events[0];
  ASSERT_NO_FATAL_FAILURE(Connect([&secondIssued](TestServer& server) {
    server.onWriteRequest = [&secondIssued](std::uint32_t sequence) {
      if (sequence == 0) {
        EXPECT_TRUE(secondIssued.Wait(20000));
      } else if (sequence == 1) {
        secondIssued.Set();
      }
    };
  }));

  EXPECT_TRUE(socket->Write("first ", 6));
  EXPECT_TRUE(socket->WriteNow("second ", 7));
  EXPECT_TRUE(socket->Write("third ", 6));
  EXPECT_TRUE(socket->WriteNow("fourth", 6));
  EXPECT_EQ(client->Receive(25), "first second third fourth");
  // With nothing ahead of it, this one leaves (and completes) on this thread.
  EXPECT_TRUE(socket->WriteNow(" fifth", 6));
  EXPECT_EQ(client->Receive(6), " fifth");
  // Every send completed, wherever it did: the buffers are back and the write side can close.
  EXPECT_TRUE(WaitFor([&] { return server->BuffersOut() <= 1; })) << server->BuffersOut() << " buffers held";
  socket->Shutdown(SHUT_WR);
  EXPECT_EQ(client->ReceiveEnd(), 0);
}

TEST_F(SocketServerHeld, WritersOnSeveralThreadsNeverShareASequenceNumber) {
  ASSERT_NO_FATAL_FAILURE(Connect());

  // Two numbers drawn twice would leave a gap that holds every later write back.
  constexpr int kWrites = 2000;
  std::vector<std::thread> writers;
  for (char tag : {'a', 'b'})
    writers.emplace_back([&, tag] {
      for (int i = 0; i < kWrites; ++i) EXPECT_TRUE(socket->Write(&tag, 1));
    });
  for (std::thread& writer : writers) writer.join();
  const std::string received = client->Receive(2 * kWrites);
  EXPECT_EQ(received.size(), 2u * kWrites);
  EXPECT_EQ(std::count(received.begin(), received.end(), 'a'), kWrites);
}

TEST(SocketServer, PeerCloseIsReportedOnceAndTheConnectionGoesBackToThePool) {
  TestServer::Options options;
  options.holdSockets = true;
  TestServer server(options);
  server.StartListening();
  auto client = std::make_unique<TestClient>(server.ListeningPort());
  ASSERT_TRUE(server.WaitCount("Accepted", 1));
  TestServer::Socket* socket = server.TakeHeldSockets().at(0);
  client->Close();

  const std::string dropped = "ReadCompleted - 0 bytes - client connection dropped";
  ASSERT_TRUE(server.WaitCount("ClientClose", 1));
  // A second receive also completes with 0 bytes: still one OnConnectionClientClose.
  EXPECT_TRUE(socket->Read());
  ASSERT_TRUE(server.WaitCount(dropped, 2));
  socket->Release();
  ASSERT_TRUE(server.WaitCount("Closed", 1));
  EXPECT_EQ(server.Count("ClientClose"), 1);
  EXPECT_EQ(server.Count("ReadCompleted"), 0);
  EXPECT_EQ(server.Count("Unreferenced"), 1);

  // The pooled object serves the next connection.
  ASSERT_TRUE(WaitFor([&] { return server.PooledConnectionCount() == 1; }));
  TestClient next(server.ListeningPort());
  ASSERT_TRUE(next.Send("again"));
  EXPECT_EQ(next.Receive(5), "again");
  EXPECT_EQ(server.Count("Created"), 1);
}

TEST(SocketServer, ResetWhileAReceiveIsPendingClosesTheConnectionOnce) {
  TestServer server({});
  server.StartListening();
  TestClient client(server.ListeningPort());
  // After a round trip the second receive is issued, and waits.
  ASSERT_TRUE(client.Send("x"));
  ASSERT_EQ(client.Receive(1), "x");
  ASSERT_TRUE(server.WaitCount("ReadIssued", 2));
  client.Reset();

  ASSERT_TRUE(server.WaitCount("Closed", 1));
  EXPECT_EQ(server.Count("Unreferenced"), 1);
  EXPECT_EQ(server.Count("Reset"), 0);
  EXPECT_EQ(server.Count("ClientClose"), 0);
  EXPECT_EQ(server.Count("ReadCompleted"), 1);
}

TEST_F(SocketServerHeld, ShutdownOfTheSendSideWaitsForOutstandingWrites) {
  options.bufferSize = 65536;
  // A small receive window keeps most of the writes outstanding in the server.
  ASSERT_NO_FATAL_FAILURE(Connect({}, 4096));

  constexpr int kWrites = 256;
  const std::string block = Pattern(65536, 'A');
  for (int i = 0; i < kWrites; ++i) ASSERT_TRUE(socket->Write(block.data(), block.size()));
  socket->Shutdown(SHUT_WR);
  EXPECT_FALSE(socket->Write("late", 4));

  std::string received = client->Receive(kWrites * block.size());
  EXPECT_EQ(received.size(), kWrites * block.size());
  EXPECT_EQ(received.substr(received.size() - block.size()), block);
  EXPECT_EQ(client->ReceiveEnd(), 0) << "the send side was never shut down";
}

TEST_F(SocketServerHeld, AWriteLargerThanABufferIsRefusedWithoutBlockingTheShutdown) {
  ASSERT_NO_FATAL_FAILURE(Connect());

  const std::string tooLong(10241, 'z');
  EXPECT_FALSE(socket->Write(tooLong.data(), tooLong.size()));
  EXPECT_TRUE(socket->Write("ok", 2));
  socket->Shutdown(SHUT_WR);
  EXPECT_EQ(client->Receive(2), "ok");
  EXPECT_EQ(client->ReceiveEnd(), 0) << "a refused write was still counted as outstanding";
}

TEST(SocketServer, UnreferencedIsAskedOnceWhateverTheHandlerAnswers) {
  for (bool answer : {false, true}) {
    TestServer::Options options;
    options.unreferencedAnswer = answer;
    TestServer server(options);
    server.StartListening();
    for (int round = 0; round < 2; ++round) {
      TestClient client(server.ListeningPort());
      ASSERT_TRUE(client.Send("ping"));
      ASSERT_EQ(client.Receive(4), "ping");
      client.Close();
      ASSERT_TRUE(server.WaitCount("Closed", round + 1)) << "answer " << answer;
      ASSERT_TRUE(WaitFor([&] { return server.PooledConnectionCount() == 1; }));
      EXPECT_EQ(server.Count("Unreferenced"), round + 1) << "answer " << answer;
    }
    // Both connections used the same pooled object.
    EXPECT_EQ(server.Count("Created"), 1) << "answer " << answer;
  }
}

TEST(SocketServer, TheConnectionReleasedWhileTheFreePoolIsFullIsDestroyed) {
  TestServer server({});
  server.StartListening();
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 101; ++i) {
    clients.push_back(std::make_unique<TestClient>(server.ListeningPort()));
    // Connections are accepted one at a time; keep within the listen backlog.
    ASSERT_TRUE(server.WaitCount("Accepted", i + 1));
  }
  EXPECT_EQ(server.Count("Created"), 101);
  clients.clear();
  ASSERT_TRUE(server.WaitCount("Closed", 101));
  ASSERT_TRUE(server.WaitCount("Destroyed", 1));
  EXPECT_EQ(server.Count("Destroyed"), 1);
}

TEST(SocketServer, AcceptingStopsAndStartsAgainOnTheSamePort) {
  const std::uint16_t port = FreePort();
  TestServer server({}, port);
  server.StartListening();
  server.StartAcceptingConnections();
  EXPECT_EQ(server.Count("StartAccepting"), 1);

  TestClient staying(port);
  ASSERT_TRUE(staying.Send("1"));
  ASSERT_EQ(staying.Receive(1), "1");
  for (int round = 0; round < 2; ++round) {
    server.StopAcceptingConnections();
    server.StopAcceptingConnections();
    EXPECT_EQ(server.Count("StopAccepting"), round + 1);
    TestClient refused(port);
    EXPECT_FALSE(refused.Connected());
    EXPECT_EQ(refused.ConnectError(), ECONNREFUSED);

    server.StartAcceptingConnections();
    TestClient fresh(port);
    ASSERT_TRUE(fresh.Send("fresh"));
    EXPECT_EQ(fresh.Receive(5), "fresh");
  }
  // Established connections are not touched, and a stopped accept is not an error.
  ASSERT_TRUE(staying.Send("2"));
  EXPECT_EQ(staying.Receive(1), "2");
  for (const std::string& event : server.Events()) EXPECT_EQ(event.find("WSAAccept"), std::string::npos) << event;
}

TEST(SocketServer, APortInUseThrowsFromBindAfterTracingTheFailure) {
  std::vector<std::string> debugLines;
  std::mutex debugMutex;
  SetDebugCapture([&](std::string_view text) {
    std::lock_guard lock(debugMutex);
    debugLines.emplace_back(text);
  });
  // The other listener sets SO_REUSEADDR too: the option never shares a listening port.
  TestServer holder({});
  holder.StartListening();
  TestServer server({}, holder.ListeningPort());
  server.Start();
  try {
    server.StartAcceptingConnections();
    ADD_FAILURE() << "no exception";
  } catch (const CSocket::Exception& error) {
    EXPECT_EQ(error.GetWhere(), "CSocket::Bind()");
    EXPECT_EQ(error.GetError(), static_cast<unsigned>(EADDRINUSE));
  }
  SetDebugCapture({});
  EXPECT_EQ(server.Count("StartAccepting"), 1);
  EXPECT_EQ(server.ListeningPort(), 0);
  {
    std::lock_guard lock(debugMutex);
    ASSERT_EQ(debugLines.size(), 1u);
    EXPECT_NE(debugLines[0].find(": socket 绑定失败\n"), std::string::npos) << debugLines[0];
  }
  std::ifstream log(TestAppDirectory().File("Sockora.log"));
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find(": socket 绑定失败\n"), std::string::npos);
}

namespace {

// The server's side of a connection to `port`: the socket of this process whose own port
// is `port` and that has a peer (the listening socket has none); -1 if there is none.
int AcceptedSocketOn(std::uint16_t port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 && local.sin_family == AF_INET &&
        ntohs(local.sin_port) == port && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0)
      return fd;
  }
  return -1;
}

}  // namespace

TEST(SocketServer, AcceptedConnectionsProbeADeadPeerWithKeepalive) {
  TestServer server({});
  server.StartListening();
  TestClient client(server.ListeningPort());
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(server.WaitCount("Accepted", 1));
  const int accepted = AcceptedSocketOn(server.ListeningPort());
  ASSERT_GE(accepted, 0);
  struct Option {
    const char* name;
    int level;
    int option;
    int value;
  };
  const Option options[] = {
      {"SO_KEEPALIVE", SOL_SOCKET, SO_KEEPALIVE, 1}, {"TCP_KEEPIDLE", IPPROTO_TCP, TCP_KEEPIDLE, 60},
      {"TCP_KEEPINTVL", IPPROTO_TCP, TCP_KEEPINTVL, 10}, {"TCP_KEEPCNT", IPPROTO_TCP, TCP_KEEPCNT, 6},
      {"TCP_NODELAY", IPPROTO_TCP, TCP_NODELAY, 1},
  };
  for (const Option& option : options) {
    int value = -1;
    socklen_t length = sizeof value;
    ASSERT_EQ(::getsockopt(accepted, option.level, option.option, &value, &length), 0) << option.name;
    EXPECT_EQ(value, option.value) << option.name;
  }
}

TEST(SocketServer, ShutdownClosesEveryConnectionBeforeSignallingTheShutdown) {
  TestServer::Options options;
  options.workers = 3;
  auto server = std::make_unique<TestServer>(options);
  server->StartListening();
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<TestClient>(server->ListeningPort()));
    ASSERT_TRUE(clients.back()->Send("x"));
    ASSERT_EQ(clients.back()->Receive(1), "x");
  }
  TestServer* raw = server.get();
  FinishesWithin([&] { server->WaitForShutdown(); });

  const std::vector<std::string> events = raw->Events();
  const auto position = [&](const std::string& event) {
    return std::find(events.begin(), events.end(), event) - events.begin();
  };
  const auto lastClosed = std::find(events.rbegin(), events.rend(), "Closed").base() - events.begin() - 1;
  EXPECT_EQ(raw->Count("Closed"), 3);
  EXPECT_LT(lastClosed, position("ShutdownStarted"));
  EXPECT_LT(lastClosed, position("Time to shutdown"));
  EXPECT_EQ(raw->Count("ThreadDestroyed"), 3);
  EXPECT_EQ(raw->Count("ShutdownComplete"), 1);
  for (auto& client : clients) EXPECT_EQ(client->ReceiveEnd(), ECONNRESET);
  FinishesWithin([&] { server.reset(); });
}

TEST(SocketServer, AServerThatNeverStartedIsDestroyedWithoutWaiting) {
  auto server = std::make_unique<TestServer>(TestServer::Options{});
  FinishesWithin([&] { server.reset(); });
}

TEST(SocketServer, AnExceptionEndingTheAcceptLoopStillStopsTheWorkers) {
  TestServer::Options options;
  options.throwOnAccept = true;
  auto server = std::make_unique<TestServer>(options);
  server->StartListening();
  TestClient client(server->ListeningPort());
  ASSERT_TRUE(server->WaitCount("ShutdownComplete", 1));
  EXPECT_EQ(server->Count("CSocketServer::Run() - Exception: TestServer::OnConnectionAccepted() - refused"), 1);
  EXPECT_EQ(server->Count("ThreadDestroyed"), 4);
  FinishesWithin([&] { server.reset(); });
}
