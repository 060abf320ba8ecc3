#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "platform/AtomicFileWriter.h"
#include "platform/Bytes.h"
#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"
#include "platform/JsonDecoding.h"
#include "platform/TemporaryFiles.h"
#include "platform/Unicode.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(Base64, RoundTripsAndRejectsMalformedText) {
  for (std::string text : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    SCOPED_TRACE(text);
    auto decoded = base64Decode(base64Encode(bytesOf(text)));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(stringOf(*decoded), text);
  }
  EXPECT_EQ(base64Encode(bytesOf("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
  for (std::string bad : {"Zm8", "Zm8=\n", "Z=m8", "Zm=8", "Zm9v YmFy", "Zm8*", "===="}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(base64Decode(bad).has_value());
  }
}

TEST(Hex, DecodesBothCasesAndRejectsOddOrForeignDigits) {
  EXPECT_EQ(hexEncode(*hexDecode("00ffAB")), "00ffab");
  EXPECT_FALSE(hexDecode("abc").has_value());
  EXPECT_FALSE(hexDecode("zz").has_value());
}

TEST(ISO8601, FormatsAndParsesStrictly) {
  EXPECT_EQ(formatISO8601(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(formatISO8601(1775030400.9), "2026-04-01T08:00:00Z");
  EXPECT_EQ(formatISO8601(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(parseISO8601("2026-04-01T08:00:00Z"), 1775030400.0);
  EXPECT_EQ(parseISO8601("2024-02-29T00:00:00Z"), 1709164800.0);
  for (std::string bad : {"2026-04-01T08:00:00.000Z", "2026-04-01T08:00:00+00:00", "2026-04-01 08:00:00Z",
                          "2026-13-01T08:00:00Z", "2025-02-29T00:00:00Z", "2026-04-01T24:00:00Z", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parseISO8601(bad).has_value());
  }
}

TEST(ISO8601, FormatsTimesBeyondTheTextFormAsItsNearestEnd) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    double seconds;
    const char* text;
  } cases[] = {
      {1e300, "9999-12-31T23:59:59Z"},          {infinity, "9999-12-31T23:59:59Z"},
      {253402300800.0, "9999-12-31T23:59:59Z"}, {-1e300, "0001-01-01T00:00:00Z"},
      {-infinity, "0001-01-01T00:00:00Z"},      {nan, "0001-01-01T00:00:00Z"},
      {-62167219200.0, "0001-01-01T00:00:00Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(formatISO8601(c.seconds), c.text);
    EXPECT_TRUE(parseISO8601(c.text).has_value());
  }
}

TEST(JsonDecoding, NumbersBeyondADoubleAreTheDecodersOwnError) {
  for (std::string text : {"{\"a\":1e400}", "[-1e309]", "{\"a\":"}) {
    SCOPED_TRACE(text);
    try {
      parseJsonDocument(text);
      ADD_FAILURE() << "parsed";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
    }
  }
}

TEST(CanonicalJson, SortsKeysAtEveryDepthAndEscapesSlashes) {
  nlohmann::json value = {{"b", 1}, {"a", {{"z", "x/y"}, {"c", true}}}, {"é", "ü"}};
  EXPECT_EQ(canonicalJsonString(value), R"({"a":{"c":true,"z":"x\/y"},"b":1,"é":"ü"})");
  EXPECT_EQ(canonicalJsonString({{"k", {1, 2}}}, true), "{\n  \"k\": [\n    1,\n    2\n  ]\n}");
}

TEST(Unicode, ValidatesUTF8Strictly) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  } cases[] = {
      {"empty", "", true},
      {"ASCII with NUL", std::string("a\0b", 3), true},
      {"two to four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {"largest code point", "\xF4\x8F\xBF\xBF", true},
      {"overlong slash", "\xC0\xAF", false},
      {"overlong three bytes", "\xE0\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", false},
      {"truncated at the end", "ab\xE2\x82", false},
      {"lone continuation", "\x80", false},
      {"continuation missing inside", "\xE2\x28\xA1", false},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(unicode::isValidUTF8(c.text), c.valid);
  }
  const std::string mixed = "a\xC3\xA9\xFF\xF0\x9F\x98\x80";
  EXPECT_EQ(unicode::utf8SequenceLength(mixed, 0), 1u);
  EXPECT_EQ(unicode::utf8SequenceLength(mixed, 1), 2u);
  EXPECT_EQ(unicode::utf8SequenceLength(mixed, 2), 0u);  // inside a sequence
  EXPECT_EQ(unicode::utf8SequenceLength(mixed, 3), 0u);
  EXPECT_EQ(unicode::utf8SequenceLength(mixed, 4), 4u);
}

TEST(Unicode, ClassifiesAndNormalizes) {
  EXPECT_EQ(unicode::nfc("Ste\xCC\x81phane"), "St\xC3\xA9phane");
  EXPECT_EQ(unicode::lowercased("ÉCOLE İ"), "école i̇");
  EXPECT_TRUE(unicode::containsControlOrFormat("a\x01"));
  EXPECT_TRUE(unicode::containsControlOrFormat("a\xE2\x80\x8B"));  // zero-width space, Cf
  EXPECT_FALSE(unicode::containsControlOrFormat("plain text é"));
  EXPECT_EQ(unicode::graphemeClusterCount("e\xCC\x81\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 2u);
  EXPECT_LT(unicode::finderCompare("file2", "file10"), 0);
  EXPECT_EQ(unicode::finderCompare("Apple", "apple"), 0);
}

TEST(AtomicFileWriter, CopiesIntoPlaceAndLeavesNothingOnFailure) {
  TempDir dir;
  fs::path source = dir.path() / "source";
  std::ofstream(source) << "payload";
  fs::path destination = dir.path() / "a" / "b" / "copy";
  AtomicFileWriter::copyFileData(source, destination);
  EXPECT_EQ(stringOf(readFileBytes(destination)), "payload");

  try {
    AtomicFileWriter::copyFileData(dir.path() / "missing", dir.path() / "a" / "other");
    FAIL() << "copied a missing file";
  } catch (const PosixError& e) {
    EXPECT_EQ(e.err(), ENOENT);
    EXPECT_NE(e.message().find("copyfile(blob-data)"), std::string::npos);
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path() / "a")) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"b"});
}

TEST(FileSystem, CreateDirectoriesMakesParentsAndNamesTheFailingPath) {
  TempDir dir;
  const fs::path nested = dir.path() / "a" / "b" / "c";
  createDirectories(nested);
  createDirectories(nested);  // already there
  EXPECT_TRUE(fs::is_directory(nested));

  std::ofstream(dir.path() / "file") << "x";
  const fs::path blocked = dir.path() / "file" / "sub";
  try {
    createDirectories(blocked);
    FAIL() << "created a folder inside a file";
  } catch (const PosixError& e) {
    EXPECT_EQ(e.err(), ENOTDIR);
    EXPECT_EQ(e.message(), "mkdir failed for " + blocked.string() + ": Not a directory.");
  }
}

void ignoreSignal(int) {}

// SIGALRM every 500 µs, with a handler installed without SA_RESTART, as long as it lives:
// every blocking call of this thread keeps being interrupted.
class InterruptingTimer {
 public:
  InterruptingTimer() {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    installed_ = ::sigaction(SIGALRM, &action, &previous_) == 0;
    struct itimerval timer {};
    timer.it_interval.tv_usec = 500;
    timer.it_value.tv_usec = 500;
    running_ = installed_ && ::setitimer(ITIMER_REAL, &timer, nullptr) == 0;
  }
  ~InterruptingTimer() {
    struct itimerval timer {};
    ::setitimer(ITIMER_REAL, &timer, nullptr);
    if (installed_) ::sigaction(SIGALRM, &previous_, nullptr);
  }
  InterruptingTimer(const InterruptingTimer&) = delete;
  InterruptingTimer& operator=(const InterruptingTimer&) = delete;
  bool running() const { return running_; }

 private:
  struct sigaction previous_ {};
  bool installed_ = false;
  bool running_ = false;
};

// For the other end of a pipe: that thread never takes the timer's signal.
void blockTimerSignal() {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

Bytes patternedBytes(std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
  return data;
}

// A reader slower than the writer, and a timer whose signal interrupts the blocked write
// again and again (no SA_RESTART): every byte still arrives once, in order.
TEST(FileSystem, WriteFullyDeliversEverythingThroughInterruptedWrites) {
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  OpenFile readEnd(pipeEnds[0]);
  OpenFile writeEnd(pipeEnds[1]);
  const Bytes data = patternedBytes(4 << 20);

  Bytes received;
  std::thread reader([&] {
    blockTimerSignal();
    std::uint8_t buffer[65536];
    for (;;) {
      ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      received.insert(received.end(), buffer, buffer + n);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::string failure;  // kept until the reader is joined
  {
    InterruptingTimer timer;
    EXPECT_TRUE(timer.running());
    try {
      writeFully(writeEnd.get(), data.data(), data.size(), "pipe");
    } catch (const Error& e) {
      failure = e.message();
    }
  }
  writeEnd.close("pipe");
  reader.join();
  EXPECT_EQ(failure, "");
  EXPECT_TRUE(received == data) << "received " << received.size() << " of " << data.size() << " bytes";

  // A descriptor that cannot be written names the path it was written for.
  TempDir dir;
  std::ofstream(dir.path() / "read-only") << "x";
  OpenFile readOnly = openFile(dir.path() / "read-only", O_RDONLY);
  try {
    writeFully(readOnly.get(), "y", 1, dir.path() / "read-only");
    FAIL() << "wrote to a read-only descriptor";
  } catch (const PosixError& e) {
    EXPECT_EQ(e.message(), "write failed for " + (dir.path() / "read-only").string() + ": Bad file descriptor.");
  }
}

// The same for a copy: from a pipe whose writer is slower (reads keep being interrupted),
// and between two files (copy_file_range under the same timer); both arrive whole.
TEST(FileSystem, CopyRemainingBytesCopiesEverythingThroughInterruptions) {
  TempDir dir;
  const Bytes data = patternedBytes(3 << 20);
  {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    OpenFile readEnd(pipeEnds[0]);
    OpenFile writeEnd(pipeEnds[1]);
    const Bytes piped(data.begin(), data.begin() + (256 << 10));
    std::thread writer([&] {
      blockTimerSignal();
      // Small pieces, far apart: the copy mostly waits in read when the timer fires.
      for (std::size_t at = 0; at < piped.size(); at += 4096) {
        writeFully(writeEnd.get(), piped.data() + at, std::min<std::size_t>(4096, piped.size() - at), "pipe");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      writeEnd.reset();
    });
    OpenFile out = openFile(dir.path() / "from-pipe", O_WRONLY | O_CREAT | O_TRUNC);
    int result = -1;
    {
      InterruptingTimer timer;
      EXPECT_TRUE(timer.running());
      result = copyRemainingBytes(readEnd.get(), out.get());
    }
    // A copy that gave up early must fail the checks below, not leave the writer blocked.
    std::uint8_t rest[65536];
    while (::read(readEnd.get(), rest, sizeof rest) > 0) {
    }
    writer.join();
    out.close(dir.path() / "from-pipe");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(readFileBytes(dir.path() / "from-pipe") == piped);
  }
  {
    writeFileAtomically(dir.path() / "source", data);
    OpenFile in = openFile(dir.path() / "source", O_RDONLY);
    OpenFile out = openFile(dir.path() / "copy", O_WRONLY | O_CREAT | O_TRUNC);
    int result = -1;
    {
      InterruptingTimer timer;
      result = copyRemainingBytes(in.get(), out.get());
    }
    out.close(dir.path() / "copy");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(readFileBytes(dir.path() / "copy") == data);
  }
  // A descriptor that cannot be written is the copy's errno, not an exception.
  OpenFile in = openFile(dir.path() / "source", O_RDONLY);
  OpenFile readOnly = openFile(dir.path() / "copy", O_RDONLY);
  EXPECT_EQ(copyRemainingBytes(in.get(), readOnly.get()), EBADF);
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFileWriter, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  const fs::path destination = dir.path() / "out" / "file";
  for (auto durability : {AtomicFileWriter::Durability::synchronized, AtomicFileWriter::Durability::unsynchronized}) {
    SCOPED_TRACE(durability == AtomicFileWriter::Durability::synchronized ? "synchronized" : "unsynchronized");
    fs::path seen;
    AtomicFileWriter::writeThroughTemporaryFile(destination, durability, [&](int fd, const fs::path& temporary) {
      seen = temporary;
      // Listed for interrupt cleanup while it is written.
      const auto listed = TemporaryFiles::inFlight();
      EXPECT_NE(std::find(listed.begin(), listed.end(), temporary), listed.end());
      writeFully(fd, "new", 3, temporary);
    });
    EXPECT_EQ(seen.parent_path(), destination.parent_path());
    EXPECT_EQ(stringOf(readFileBytes(destination)), "new");
    EXPECT_TRUE(TemporaryFiles::inFlight().empty());

    try {
      AtomicFileWriter::writeThroughTemporaryFile(destination, durability, [&](int fd, const fs::path& temporary) {
        writeFully(fd, "partial", 7, temporary);
        throw EngineError::ioError("source went away");
      });
      FAIL() << "the body's error was lost";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.message(), "source went away");
    }
    EXPECT_EQ(stringOf(readFileBytes(destination)), "new");
    EXPECT_EQ(namesIn(destination.parent_path()), std::vector<std::string>{"file"});
    EXPECT_TRUE(TemporaryFiles::inFlight().empty());
  }

  // A destination that cannot be replaced (a non-empty folder) fails the rename, naming it.
  const fs::path folder = dir.path() / "folder";
  createDirectories(folder / "inside");
  EXPECT_THROW(AtomicFileWriter::writeThroughTemporaryFile(
                   folder, AtomicFileWriter::Durability::unsynchronized,
                   [](int fd, const fs::path& temporary) { writeFully(fd, "x", 1, temporary); }),
               PosixError);
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"folder", "out"}));
}

// Progress counts a file once it is in place, with the bytes written; bookkeeping files and
// files that never got there do not count.
TEST(AtomicFileWriter, OnlyCountedFilesMovedIntoPlaceCountAsCompleted) {
  TempDir dir;
  const TemporaryFiles::Completed before = TemporaryFiles::completed();
  auto write = [&](const std::string& name, AtomicFileWriter::Completion completion, bool move, bool closeFirst) {
    const fs::path destination = dir.path() / name;
    AtomicFileWriter::TemporaryFile file(AtomicFileWriter::temporarySibling(destination), destination,
                                         AtomicFileWriter::Durability::unsynchronized, completion);
    writeFully(file.fd(), "12345", 5, file.path());
    if (closeFirst) file.close();
    if (move) file.moveIntoPlace();
  };
  write("counted", AtomicFileWriter::Completion::counted, true, true);
  write("counted-open", AtomicFileWriter::Completion::counted, true, false);
  write("bookkeeping", AtomicFileWriter::Completion::notCounted, true, true);
  write("dropped", AtomicFileWriter::Completion::counted, false, true);
  const TemporaryFiles::Completed after = TemporaryFiles::completed();
  EXPECT_EQ(after.files - before.files, 2);
  EXPECT_EQ(after.bytes - before.bytes, 10);
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"bookkeeping", "counted", "counted-open"}));
}

TEST(FileSystem, WriteFileAtomicallyNeedsItsParentAndReplacesWhole) {
  TempDir dir;
  const fs::path file = dir.path() / "doc.json";
  writeFileAtomically(file, std::string("first"));
  writeFileAtomically(file, std::string("second"));
  EXPECT_EQ(stringOf(readFileBytes(file)), "second");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"doc.json"});
  try {
    writeFileAtomically(dir.path() / "missing" / "doc.json", std::string("x"));
    FAIL() << "created a missing parent";
  } catch (const PosixError& e) {
    EXPECT_EQ(e.err(), ENOENT);
  }
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

}  // namespace
}  // namespace tvr
