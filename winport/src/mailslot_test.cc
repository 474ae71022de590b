#include "winport/mailslot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "message_testing.h"
#include "testing.h"
#include "winport/error.h"
#include "winport/file.h"
#include "winport/handle.h"
#include "winport/prefix.h"

namespace winport {
namespace {

constexpr const char* kSlot = "\\\\.\\mailslot\\DAKUsabilitySlot";

std::string Helper() {
  return (testing::ExecutableDir() / "winport_message_helper").string();
}

HANDLE OpenClient(const char* name) {
  return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Write(HANDLE client, const std::string& text) {
  DWORD written = 0;
  return WriteFile(client, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

TEST(MailslotTest, NamesAndServerEnds) {
  HANDLE server = CreateMailslotA(kSlot, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);

  // One live server per name, whatever the case of the name.
  EXPECT_EQ(CreateMailslotA("\\\\.\\MAILSLOT\\dakusabilityslot", 0, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  // Only the owner's user and group may write.
  struct stat st {};
  ASSERT_EQ(::stat((RunPath() / "mailslot.dakusabilityslot").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);

  EXPECT_EQ(OpenClient("\\\\.\\mailslot\\NoSuchSlot"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  for (const char* bad :
       {"\\\\.\\mailslot\\", "\\\\.\\pipe\\x", "c:\\mailslot\\x", "\\\\.\\mailslot\\a\nb"}) {
    EXPECT_EQ(CreateMailslotA(bad, 0, 0, nullptr), INVALID_HANDLE_VALUE) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << bad;
  }
  std::string tooLong = "\\\\.\\mailslot\\" + std::string(300, 'x');
  EXPECT_EQ(CreateMailslotA(tooLong.c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(CreateMailslotA(nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);

  // Names with path characters stay inside run/ and are still found by their clients.
  const char* odd = "\\\\.\\mailslot\\..\\..\\dir/x";
  HANDLE oddServer = CreateMailslotA(odd, 0, 0, nullptr);
  ASSERT_NE(oddServer, INVALID_HANDLE_VALUE);
  HANDLE oddClient = OpenClient(odd);
  ASSERT_NE(oddClient, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(oddClient, "x"));
  CloseHandle(oddClient);
  CloseHandle(oddServer);

  // Closing the server frees the name; its clients' writes then fail.
  HANDLE client = OpenClient(kSlot);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(server));
  EXPECT_FALSE(Write(client, "late"));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  CloseHandle(client);
  server = CreateMailslotA(kSlot, 0, 0, nullptr);
  EXPECT_NE(server, INVALID_HANDLE_VALUE);
  CloseHandle(server);

  // Mailslot calls on what is not a server end.
  EXPECT_FALSE(
      GetMailslotInfo(reinterpret_cast<HANDLE>(0x12345), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(MailslotTest, InfoAndReadsTakeOneWholeMessage) {
  HANDLE server = CreateMailslotA(kSlot, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  DWORD maxSize = 0, next = 0, count = 99, timeout = 99;
  ASSERT_TRUE(GetMailslotInfo(server, &maxSize, &next, &count, &timeout));
  EXPECT_EQ(maxSize, 64u * 1024);
  EXPECT_EQ(next, MAILSLOT_NO_MESSAGE);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(timeout, 0u);
  char buffer[64];
  DWORD read = 7;
  EXPECT_FALSE(ReadFile(server, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_EQ(read, 0u);

  HANDLE client = OpenClient(kSlot);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(client, "first message"));
  ASSERT_TRUE(Write(client, ""));
  ASSERT_TRUE(Write(client, "third"));
  // Counted the moment the writes have returned.
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, &count, nullptr));
  EXPECT_EQ(next, 13u);
  EXPECT_EQ(count, 3u);

  // Too small a buffer keeps the message.
  EXPECT_FALSE(ReadFile(server, buffer, 12, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(ReadFile(server, buffer, 13, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "first message");
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, &count, nullptr));
  EXPECT_EQ(next, 0u);
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(ReadFile(server, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(read, 0u);
  ASSERT_TRUE(ReadFile(server, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "third");

  // Wrong direction on either end.
  EXPECT_FALSE(Write(server, "x"));
  EXPECT_FALSE(ReadFile(client, buffer, sizeof(buffer), &read, nullptr));
  CloseHandle(client);
  CloseHandle(server);
}

TEST(MailslotTest, MessageSizeLimits) {
  HANDLE server = CreateMailslotA(kSlot, 0, 0, nullptr);
  HANDLE small = CreateMailslotA("\\\\.\\mailslot\\small", 100, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  ASSERT_NE(small, INVALID_HANDLE_VALUE);
  HANDLE client = OpenClient(kSlot);
  HANDLE smallClient = OpenClient("\\\\.\\mailslot\\small");

  EXPECT_TRUE(Write(client, std::string(64 * 1024, 'a')));
  EXPECT_FALSE(Write(client, std::string(64 * 1024 + 1, 'b')));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Write(smallClient, std::string(100, 'c')));
  EXPECT_FALSE(Write(smallClient, std::string(101, 'd')));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // Refused messages leave no trace at the server.
  DWORD next = 0, count = 0;
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, &count, nullptr));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(next, 64u * 1024);
  ASSERT_TRUE(GetMailslotInfo(small, nullptr, &next, &count, nullptr));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(next, 100u);
  for (HANDLE h : {client, smallClient, server, small}) CloseHandle(h);
}

TEST(MailslotTest, BurstsFromFourWriterProcessesArriveWholeAndInOrder) {
  HANDLE server = CreateMailslotA(kSlot, 0, 5000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  constexpr int kWriters = 4, kEach = 2500;
  std::vector<std::unique_ptr<testing::Child>> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.push_back(std::make_unique<testing::Child>(
        Helper(),
        std::vector<std::string>{"write", kSlot, std::to_string(w), std::to_string(kEach)}));
  // The writers finish without the application reading anything: the burst is held.
  for (auto& w : writers) ASSERT_EQ(w->Wait(), 0);
  DWORD count = 0;
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, nullptr, &count, nullptr));
  EXPECT_EQ(count, static_cast<DWORD>(kWriters * kEach));

  std::array<std::uint32_t, kWriters> nextSeq{};
  std::vector<unsigned char> buffer(64 * 1024);
  for (int i = 0; i < kWriters * kEach; ++i) {
    DWORD next = 0, read = 0;
    ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, nullptr, nullptr));
    ASSERT_TRUE(ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr));
    ASSERT_EQ(read, next);
    ASSERT_GE(read, 12u);
    std::uint32_t writer;
    std::memcpy(&writer, buffer.data(), 4);
    ASSERT_LT(writer, static_cast<std::uint32_t>(kWriters));
    auto expected = testing::MessageFor(writer, nextSeq[writer]++);
    ASSERT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + read), expected)
        << "message " << i << " from writer " << writer;
  }
  for (auto seq : nextSeq) EXPECT_EQ(seq, static_cast<std::uint32_t>(kEach));
  DWORD next = 0;
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, &count, nullptr));
  EXPECT_EQ(next, MAILSLOT_NO_MESSAGE);
  CloseHandle(server);
}

TEST(MailslotTest, BurstBeyondTheSocketBuffersIsHeldByTheServer) {
  HANDLE server = CreateMailslotA(kSlot, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE client = OpenClient(kSlot);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  // The application looks first (and so takes up the new client itself), then writes far more
  // than any socket buffer holds without reading in between.
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, nullptr, &count, nullptr));
  constexpr int kBig = 300;
  for (int i = 0; i < kBig; ++i) {
    std::string m(64 * 1024, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(Write(client, m)) << i << ": " << GetLastError();
  }
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, nullptr, &count, nullptr));
  EXPECT_EQ(count, static_cast<DWORD>(kBig));
  std::vector<char> buffer(64 * 1024);
  for (int i = 0; i < kBig; ++i) {
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr));
    ASSERT_EQ(read, buffer.size());
    EXPECT_EQ(buffer.front(), static_cast<char>('a' + i % 26));
  }
  CloseHandle(client);
  CloseHandle(server);
}

TEST(MailslotTest, ReaderWaitsForTheNextMessage) {
  HANDLE server = CreateMailslotA(kSlot, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  testing::Child writer(Helper(), {"write", kSlot, "3", "20"});
  std::vector<unsigned char> buffer(64 * 1024);
  for (std::uint32_t seq = 0; seq < 20; ++seq) {
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr));
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + read),
              testing::MessageFor(3, seq));
  }
  EXPECT_EQ(writer.Wait(), 0);
  ASSERT_TRUE(SetMailslotInfo(server, 0));
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(server, buffer.data(), 10, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  CloseHandle(server);
}

TEST(MailslotTest, NameOfAKilledServerIsReclaimed) {
  testing::Child holder(Helper(), {"serve", kSlot});
  ASSERT_EQ(holder.ReadLine(), "ready");
  EXPECT_EQ(CreateMailslotA(kSlot, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE client = OpenClient(kSlot);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(client, "to the holder"));
  CloseHandle(client);

  holder.Kill();
  holder.Wait();
  EXPECT_EQ(OpenClient(kSlot), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE server = CreateMailslotA(kSlot, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  // Nothing of the dead server's queue turns up at the new one.
  client = OpenClient(kSlot);
  ASSERT_TRUE(Write(client, "to the new server"));
  char buffer[64];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(server, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "to the new server");
  CloseHandle(client);
  CloseHandle(server);
}

}  // namespace
}  // namespace winport
