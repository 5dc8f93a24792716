#include "file_output.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pyvexa {
namespace {

// A stand-in for write(2): takes at most `accept` bytes a call, fails the
// calls whose number is listed, and records what it was handed.
struct FakeWrite {
    std::size_t accept = static_cast<std::size_t>(-1);
    std::vector<std::pair<int, int>> failures;  // (call number, errno); errno 0 means "returns 0"
    std::size_t largest_request = 0;
    int calls = 0;
    std::vector<std::uint8_t> written;
};
FakeWrite* g_fake = nullptr;

ssize_t fake_write(int, const void* data, std::size_t size) {
    FakeWrite& fake = *g_fake;
    const int call = fake.calls++;
    fake.largest_request = std::max(fake.largest_request, size);
    for (auto [number, error] : fake.failures) {
        if (number != call) continue;
        if (error == 0) return 0;
        errno = error;
        return -1;
    }
    const std::size_t taken = std::min(size, fake.accept);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    fake.written.insert(fake.written.end(), bytes, bytes + taken);  // reads every byte it is handed
    return static_cast<ssize_t>(taken);
}

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 5);
    return bytes;
}

std::optional<IoError> write_with(FakeWrite& fake, const std::uint8_t* data, std::size_t size, std::size_t chunk) {
    g_fake = &fake;
    return write_all(3, data, size, fake_write, chunk);
}

struct ChunkCase {
    std::size_t chunk;
    std::size_t accept;  // bytes the fake takes a call: short writes when below the chunk
};

class WriteAllChunks : public ::testing::TestWithParam<ChunkCase> {};

// Every length around the chunk size arrives whole and in order, and no
// call asks for more than a chunk.
TEST_P(WriteAllChunks, WritesEveryByteInCallsOfAtMostAChunk) {
    const auto [chunk, accept] = GetParam();
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, chunk - 1, chunk, chunk + 1, 2 * chunk - 1, 2 * chunk,
                             2 * chunk + 1, 5 * chunk + 3}) {
        const auto data = pattern(size);
        FakeWrite fake;
        fake.accept = accept;
        EXPECT_FALSE(write_with(fake, data.data(), size, chunk).has_value()) << size;
        EXPECT_EQ(fake.written, data) << size;
        EXPECT_LE(fake.largest_request, chunk) << size;
        if (size == 0) {
            EXPECT_EQ(fake.calls, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FileOutput, WriteAllChunks,
                         ::testing::Values(ChunkCase{1, 1}, ChunkCase{7, 7}, ChunkCase{7, 3}, ChunkCase{4096, 4096},
                                           ChunkCase{4096, 1000}));

TEST(FileOutput, InterruptedCallsAreRepeated) {
    const auto data = pattern(100);
    FakeWrite fake;
    fake.accept = 16;
    fake.failures = {{0, EINTR}, {2, EINTR}, {3, EINTR}};
    EXPECT_FALSE(write_with(fake, data.data(), data.size(), 32).has_value());
    EXPECT_EQ(fake.written, data);
}

// A zero-byte write ends the loop with the fixed text; any other failure
// with the system's error; what was written before stays written.
TEST(FileOutput, FailuresStopTheLoopWithTheirError) {
    const auto data = pattern(100);
    struct Case {
        int error;
        std::string rendered_start;
    };
    for (const Case& c : {Case{0, "Error { kind: WriteZero, message: \"failed to write whole buffer\" }"},
                          Case{ENOSPC, "Os { code: " + std::to_string(ENOSPC) + ", kind: StorageFull, message: "},
                          Case{EPIPE, "Os { code: " + std::to_string(EPIPE) + ", kind: BrokenPipe, message: "}}) {
        FakeWrite fake;
        fake.failures = {{2, c.error}, {1, EINTR}};
        const auto failure = write_with(fake, data.data(), data.size(), 30);
        ASSERT_TRUE(failure.has_value()) << c.error;
        EXPECT_EQ(failure->render().rfind(c.rendered_start, 0), 0u) << failure->render();
        EXPECT_EQ(fake.calls, 3);
        EXPECT_EQ(fake.written, std::vector<std::uint8_t>(data.begin(), data.begin() + 30));
    }
}

// The data placed against an inaccessible page, at either end: the loop
// hands write only bytes inside the buffer.
TEST(FileOutput, GuardPagesAtBothEnds) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto* region = static_cast<std::uint8_t*>(
        ::mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(region, MAP_FAILED);
    ASSERT_EQ(::mprotect(region, page, PROT_NONE), 0);
    ASSERT_EQ(::mprotect(region + 3 * page, page, PROT_NONE), 0);
    std::uint8_t* const first = region + page;
    std::uint8_t* const end = region + 3 * page;
    for (std::size_t i = 0; first + i < end; ++i) first[i] = static_cast<std::uint8_t>(i * 29);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{64}, page}) {
        for (std::size_t size : {std::size_t{1}, chunk - 1, chunk, chunk + 1, 3 * chunk + 2, 2 * page}) {
            if (size == 0 || size > 2 * page) continue;
            for (const std::uint8_t* start : {first, end - size}) {
                FakeWrite fake;
                fake.accept = chunk > 3 ? chunk - 3 : chunk;
                ASSERT_FALSE(write_with(fake, start, size, chunk).has_value());
                ASSERT_TRUE(std::equal(fake.written.begin(), fake.written.end(), start, start + size))
                    << "chunk " << chunk << ", size " << size;
            }
        }
    }
    ::munmap(region, 4 * page);
}

// The real system call through write_file, with its default chunk.
TEST(FileOutput, WriteFileCreatesTheFileWithEveryByte) {
    char dir_template[] = "/tmp/file_output_test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string path = std::string(dir_template) + "/out.vexa";
    const auto data = pattern(300'000);
    for (std::size_t size : {data.size(), std::size_t{10}}) {  // the second truncates the first
        ASSERT_FALSE(write_file(path, data.data(), size).has_value());
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(back, std::vector<std::uint8_t>(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size)));
    }
    const auto missing = write_file(std::string(dir_template) + "/no/such/dir.vexa", data.data(), 1);
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->os_code, ENOENT);
    ::unlink(path.c_str());
    ::rmdir(dir_template);
}

}  // namespace
}  // namespace pyvexa
