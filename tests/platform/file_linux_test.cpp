// The POSIX file services against real files in a scratch folder.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/file_linux.h"
#include "platform/services.h"
#include "tests/platform/file_services.h"

static u64 error_code(void) { return last_file_error().code; }
static std::string error_message(void) { return last_file_error().message; }

static const u64 unix_epoch = 116444736000000000ull;  // 1970 as a file time

TEST(FileServicesAtStart, NoErrorRecordedYet) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process
    EXPECT_EXIT(
        {
            bool fresh = error_code() == 0 && error_message() == "unknown error";
            _exit(fresh ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(FileServices, ReadsAndWritesAtOffsetsWithPositionAndCounters) {
    file_handle file = open_file("data\\log.bin", 0, FILE_OPEN_WRITE);
    ASSERT_TRUE(handle_valid(file.handle));
    EXPECT_STREQ(file.name, "data\\log.bin");  // unchanged
    EXPECT_GE((intptr_t)file.handle, 3);
    EXPECT_EQ(write_file(&file, "hello", 5, 0), 5u);
    EXPECT_EQ(write_file(&file, "XY", 2, 10), 2u);
    EXPECT_EQ(file.position, 12u);
    EXPECT_EQ(file.bytes_written, 7u);
    EXPECT_EQ(file_size(&file), 12u);

    char buffer[100];
    EXPECT_EQ(read_file(&file, buffer, 3, 1), 3u);
    EXPECT_EQ(std::string(buffer, 3), "ell");
    EXPECT_EQ(file.position, 4u);
    // Past the end: fewer bytes, then none; the position follows the offset.
    EXPECT_EQ(read_file(&file, buffer, 100, 0), 12u);
    EXPECT_EQ(std::string(buffer, 12), std::string("hello\0\0\0\0\0XY", 12));
    EXPECT_EQ(read_file(&file, buffer, 10, 20), 0u);
    EXPECT_EQ(file.position, 20u);
    EXPECT_EQ(file.bytes_read, 15u);
    // Sizes of 0xFFFFFFFF and more read nothing; a null buffer neither.
    EXPECT_EQ(read_file(&file, buffer, 0xFFFFFFFFull, 2), 0u);
    EXPECT_EQ(read_file(&file, buffer, 0x100000005ull, 0), 0u);
    EXPECT_EQ(read_file(&file, NULL, 5, 0), 0u);
    EXPECT_EQ(write_file(&file, NULL, 5, 0), 0u);
    EXPECT_EQ(file.bytes_read, 15u);
    close_file(&file);
    EXPECT_EQ(read_text("data/log.bin"), std::string("hello\0\0\0\0\0XY", 12));

    // Offsets of 2 GiB and more land where they say.
    file = open_file("far.bin", 0, FILE_OPEN_WRITE);
    EXPECT_EQ(write_file(&file, "far", 3, 0x80000010u), 3u);
    EXPECT_EQ(file_size(&file), 0x80000013ull);
    EXPECT_EQ(read_file(&file, buffer, 8, 0x8000000Fu), 4u);
    EXPECT_EQ(std::string(buffer, 4), std::string("\0far", 4));
    close_file(&file);

    // Whole-path transfers: bytes before the offset are zeros.
    EXPECT_EQ(write_file_at_path("out/fifteen.bin", "abcde", 5, 10), 5u);
    EXPECT_EQ(read_text("out/fifteen.bin"), std::string(10, '\0') + "abcde");
    EXPECT_EQ(read_file_at_path("out/fifteen.bin", buffer, 16, 8), 7u);
    EXPECT_EQ(write_file_at_path("out/fifteen.bin", "z", 1, 0), 1u);
    EXPECT_EQ(read_text("out/fifteen.bin"), "z");
}

TEST_F(FileServices, ErrorsAreRecordedWhereOpensAndReadsFail) {
    // A read open creates the missing parents, then fails: path not found.
    file_handle file = open_file("a/b/c.txt", 0, FILE_OPEN_READ);
    EXPECT_TRUE(record_is_zero(file));
    EXPECT_TRUE(is_directory("a/b"));
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(error_message(), "path not found");
    char buffer[8];
    EXPECT_EQ(read_file(&file, buffer, 8, 6), 0u);
    EXPECT_EQ(file.position, 6u);
    EXPECT_EQ(read_file_at_path("p\\q\\r.txt", buffer, 8, 0), 0u);
    EXPECT_TRUE(is_directory("p/q"));

    // Directories where files are expected: access denied, read or write.
    EXPECT_TRUE(record_is_zero(open_file("a", 0, FILE_OPEN_WRITE)));
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_ACCESS_DENIED);
    record_file_error(ENOENT);
    EXPECT_TRUE(record_is_zero(open_file("a/b", 0, FILE_OPEN_READ)));
    EXPECT_EQ(error_message(), "access denied");
    EXPECT_EQ(read_file_at_path("a", buffer, 8, 0), 0u);
    EXPECT_EQ(file_size_at_path("a"), 0u);

    // A running executable can't be opened for writing.
    EXPECT_TRUE(record_is_zero(open_file("/proc/self/exe", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP)));
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_SHARING_VIOLATION);
    EXPECT_EQ(error_message(), "sharing violation");

    // Successes don't clear it; an error outside the mapping (a loop of
    // symbolic links) leaves it as it was.
    EXPECT_EQ(write_file_at_path("ok.txt", "fine", 4, 0), 4u);
    EXPECT_EQ(read_file_at_path("ok.txt", buffer, 4, 0), 4u);
    ASSERT_EQ(symlink("loop", "loop"), 0);
    EXPECT_TRUE(record_is_zero(open_file("loop", 0, FILE_OPEN_READ)));
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_SHARING_VIOLATION);
    // A file where a directory is expected.
    EXPECT_EQ(write_file_at_path("ok.txt/inner.txt", "x", 1, 0), 0u);
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_PATH_NOT_FOUND);
    for (int error : {EPERM, EROFS, EBUSY, EAGAIN, EINVAL}) {
        record_file_error(error);
    }
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_SHARING_VIOLATION);
    record_file_error(EROFS);
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_ACCESS_DENIED);
}

TEST_F(FileServices, FileChangedAndTimeStampsByKind) {
    write_text("watched.txt", "one");
    set_file_times("watched.txt", 1000, 700, 2000, 123456789);
    file_handle file = open_file("watched.txt", 0, FILE_OPEN_READ);
    EXPECT_EQ(file_changed(&file), 0u);  // the first call only records
    EXPECT_EQ(file.last_write_time, unix_epoch + 20001234567ull);
    EXPECT_EQ(file_changed(&file), 0u);
    EXPECT_EQ(write_file_at_path("watched.txt", "two!", 4, 0), 4u);
    EXPECT_EQ(file_changed(&file), 2u);
    EXPECT_EQ(file_changed(&file), 0u);

    set_file_times("watched.txt", 1000, 700, 2000, 123456789);
    EXPECT_EQ(file_time_at_path("watched.txt", FILE_TIME_LAST_ACCESS), unix_epoch + 10000000007ull);
    EXPECT_EQ(file_time_at_path("watched.txt", FILE_TIME_LAST_WRITE), unix_epoch + 20001234567ull);
    EXPECT_EQ(file_time_of_handle(file.handle, FILE_TIME_LAST_WRITE), unix_epoch + 20001234567ull);
    EXPECT_EQ(file_time_of_handle(file.handle, FILE_TIME_LAST_ACCESS), unix_epoch + 10000000007ull);
    // Creation: birth or status change, either way this year and not the
    // times set above.
    u64 creation = file_time_at_path("watched.txt", FILE_TIME_CREATION);
    EXPECT_GT(creation, unix_epoch + 17000000000000000ull);
    EXPECT_EQ(file_time_of_handle(file.handle, FILE_TIME_CREATION), creation);
    EXPECT_EQ(file_time_at_path("watched.txt", 3), 0u);
    EXPECT_EQ(file_time_of_handle(file.handle, 7), 0u);
    EXPECT_EQ(file_time_at_path("nothing.txt", FILE_TIME_LAST_WRITE), 0u);
    close_file(&file);

    set_file_times("watched.txt", 0, 0, -1, 0);
    EXPECT_EQ(file_time_at_path("watched.txt", FILE_TIME_LAST_ACCESS), unix_epoch);
    EXPECT_EQ(file_time_at_path("watched.txt", FILE_TIME_LAST_WRITE), unix_epoch - 10000000);
}

TEST_F(FileServices, SizesReachPast32Bits) {
    write_text("sized.txt", "12345");
    EXPECT_EQ(file_size_at_path("sized.txt"), 5u);
    EXPECT_EQ(file_size_with_prefix("zed.txt", "si"), 5u);
    EXPECT_EQ(file_size_at_path("unsized.txt"), 0u);
    // No sharing modes: a file open for writing is still measured.
    file_handle writer = open_file("sized.txt", 5, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    EXPECT_EQ(file_size_at_path("sized.txt"), 5u);
    EXPECT_EQ(file_size_of_handle(writer.handle), 5u);
    close_file(&writer);

    ASSERT_EQ(truncate("sized.txt", 0x100000007ll), 0);
    EXPECT_EQ(file_size_at_path("sized.txt"), 0x100000007ull);
    dir_entry entry;
    ASSERT_EQ(list_directory("sized.txt", &entry, 1), 1u);
    EXPECT_EQ(entry.size, 7u);
}

TEST_F(FileServices, ListsDirectoriesWithinCapacity) {
    mkdir("list", 0777);
    mkdir("list/inner", 0777);
    write_text("list/one.txt", "1");
    write_text("list/two.txt", "22");
    write_text("list/three.txt", "333");
    write_text("list/[ab]", "bracket");
    const std::string long_name(255, 'x');
    write_text(("list/" + long_name).c_str(), "");

    dir_entry entries[10];
    u32 count = list_directory("list/*", entries, 10);
    ASSERT_EQ(count, 8u);
    std::string seen = ";";
    for (u32 i = 0; i < count; ++i) {
        std::string name = entries[i].name;
        bool directory = name == "." || name == ".." || name == "inner";
        EXPECT_EQ(entries[i].is_directory, directory ? 1u : 0u) << name;
        if (name == "three.txt") {
            EXPECT_EQ(entries[i].size, 3u);
        }
        seen += name + ";";
    }
    for (std::string name : {".", "..", "inner", "one.txt", "two.txt", "three.txt", "[ab]"}) {
        EXPECT_NE(seen.find(";" + name + ";"), std::string::npos) << name << " in " << seen;
    }
    EXPECT_NE(seen.find(long_name + ";"), std::string::npos);

    // At capacity: exactly that many, nothing written past them.
    memset(entries, 0x5A, sizeof(entries));
    EXPECT_EQ(list_directory("list\\*", entries, 3), 3u);
    EXPECT_EQ((u8)entries[3].name[0], 0x5A);
    EXPECT_EQ(list_directory("list/*", entries, 0), 0u);
    EXPECT_EQ(list_directory("list/t??.txt", entries, 10), 1u);
    EXPECT_STREQ(entries[0].name, "two.txt");
    EXPECT_EQ(list_directory("list/*.txt", entries, 10), 3u);
    EXPECT_EQ(list_directory("list/*.*", entries, 10), 8u);  // dot or not, as on Windows
    EXPECT_EQ(list_directory("list/[ab]*", entries, 10), 1u);  // "[" is itself
    EXPECT_STREQ(entries[0].name, "[ab]");
    EXPECT_EQ(list_directory("list/three.txt", entries, 10), 1u);
    EXPECT_STREQ(entries[0].name, "three.txt");
    EXPECT_EQ(entries[0].size, 3u);
    EXPECT_EQ(list_directory("list/inner", entries, 10), 1u);
    EXPECT_EQ(entries[0].is_directory, 1u);
    EXPECT_EQ(list_directory("list/", entries, 10), 0u);
    EXPECT_EQ(list_directory("missing/*", entries, 10), 0u);
    EXPECT_EQ(list_directory("list/four.txt", entries, 10), 0u);
}

TEST_F(FileServices, ExistsSearchesBesideTheExecutableHereAndOnThePath) {
    write_text("here.txt", "h");
    mkdir("dir", 0777);
    write_text("dir/inside.txt", "i");
    EXPECT_EQ(file_exists("here.txt"), 1u);
    EXPECT_EQ(file_exists("dir\\inside.txt"), 1u);
    EXPECT_EQ(file_exists("dir"), 1u);  // directories count, as on Windows
    EXPECT_EQ(file_exists_with_prefix("inside.txt", "dir/"), 1u);
    EXPECT_EQ(file_exists((std::string(scratch.path) + "/here.txt").c_str()), 1u);
    EXPECT_EQ(file_exists("nowhere.txt"), 0u);
    EXPECT_EQ(file_exists(""), 0u);

    // Beside the executable, and on PATH; "./" names the working directory only.
    char executable[PATH_MAX] = {0};
    ASSERT_GT(readlink("/proc/self/exe", executable, sizeof(executable) - 1), 0);
    const char* base_name = strrchr(executable, '/') + 1;
    EXPECT_EQ(file_exists(base_name), 1u);
    EXPECT_EQ(file_exists(("./" + std::string(base_name)).c_str()), 0u);
    EXPECT_FALSE(path_present("sh"));
    EXPECT_EQ(file_exists("sh"), 1u);
    EXPECT_EQ(file_exists("./sh"), 0u);

    // Moving never replaces; directories move too. Deleting takes files only.
    write_text("other.txt", "o");
    EXPECT_FALSE(move_file("here.txt", "other.txt"));
    EXPECT_EQ(read_text("other.txt"), "o");
    EXPECT_TRUE(move_file("here.txt", "dir\\moved.txt"));
    EXPECT_EQ(read_text("dir/moved.txt"), "h");
    EXPECT_FALSE(move_file("here.txt", "again.txt"));
    EXPECT_TRUE(move_file("dir", "folder"));
    EXPECT_TRUE(is_directory("folder"));
    EXPECT_FALSE(delete_file("folder"));
    EXPECT_TRUE(delete_file("folder\\moved.txt"));
    EXPECT_FALSE(path_present("folder/moved.txt"));
    EXPECT_FALSE(delete_file("folder/moved.txt"));
}

TEST_F(FileServices, BadPathsFailLikeMissingFiles) {
    const std::string fits = long_path(255);
    const std::string over = "o" + fits;
    char buffer[8] = {0};
    dir_entry entry;

    file_handle file = open_file(fits.c_str(), 0, FILE_OPEN_WRITE);
    ASSERT_TRUE(handle_valid(file.handle));
    EXPECT_EQ(fits, file.name);
    close_file(&file);
    EXPECT_EQ(write_file_at_path(fits.c_str(), "ok", 2, 0), 2u);
    EXPECT_EQ(file_exists(fits.c_str()), 1u);

    // One more and nothing happens, not even with the path cut short.
    record_file_error(EBUSY);
    EXPECT_TRUE(record_is_zero(open_file(over.c_str(), 0, FILE_OPEN_WRITE)));
    EXPECT_EQ(error_code(), (u64)FILE_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(write_file_at_path(over.c_str(), "no", 2, 0), 0u);
    EXPECT_EQ(read_file_at_path(over.c_str(), buffer, 8, 0), 0u);
    EXPECT_EQ(file_exists(over.c_str()), 0u);
    EXPECT_FALSE(path_present("od123456789"));
    EXPECT_FALSE(set_working_directory(over.c_str()));
    EXPECT_FALSE(make_directory(over.c_str()));
    EXPECT_FALSE(remove_directory(over.c_str()));

    // The queries, listings, delete and move take up to 259 characters.
    const std::string query_fits = "././" + fits;
    EXPECT_EQ(query_fits.size(), 259u);
    EXPECT_EQ(file_size_at_path(query_fits.c_str()), 2u);
    EXPECT_NE(file_time_at_path(query_fits.c_str(), FILE_TIME_LAST_WRITE), 0u);
    EXPECT_EQ(list_directory(query_fits.c_str(), &entry, 1), 1u);
    const std::string query_over = "././/" + fits;
    EXPECT_EQ(query_over.size(), 260u);
    EXPECT_EQ(file_size_at_path(query_over.c_str()), 0u);
    EXPECT_EQ(file_time_at_path(query_over.c_str(), FILE_TIME_LAST_WRITE), 0u);
    EXPECT_EQ(list_directory(query_over.c_str(), &entry, 1), 0u);
    EXPECT_FALSE(move_file(query_over.c_str(), "x.txt"));
    EXPECT_FALSE(move_file(fits.c_str(), query_over.c_str()));
    EXPECT_FALSE(delete_file(query_over.c_str()));
    EXPECT_EQ(read_text(fits.c_str()), "ok");

    // Null paths and records.
    EXPECT_TRUE(record_is_zero(open_file(NULL, 0, FILE_OPEN_READ)));
    EXPECT_EQ(read_file_at_path(NULL, buffer, 8, 0), 0u);
    EXPECT_EQ(write_file_at_path(NULL, "x", 1, 0), 0u);
    EXPECT_EQ(list_directory(NULL, &entry, 1), 0u);
    EXPECT_EQ(list_directory("*", NULL, 4), 0u);
    EXPECT_EQ(file_exists(NULL), 0u);
    EXPECT_EQ(file_time_at_path(NULL, FILE_TIME_LAST_WRITE), 0u);
    EXPECT_EQ(file_size_at_path(NULL), 0u);
    EXPECT_FALSE(delete_file(NULL));
    EXPECT_FALSE(move_file(NULL, "x"));
    EXPECT_FALSE(set_working_directory(NULL));
    EXPECT_EQ(read_file(NULL, buffer, 8, 0), 0u);
    EXPECT_EQ(write_file(NULL, "x", 1, 0), 0u);
    EXPECT_EQ(file_changed(NULL), 0u);
    EXPECT_EQ(file_size(NULL), 0u);
    close_file(NULL);
}

TEST_F(FileServices, HandlesTheServicesDidNotHandOutAreLeftAlone) {
    write_text("mine.txt", "module");
    write_text("host.txt", "host's");
    file_handle file = open_file("mine.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    file_handle stale = file;
    close_file(&file);
    EXPECT_EQ(file.handle, nullptr);
    // The number comes back for a descriptor the host opens itself: a stale
    // copy of the record neither reads, writes nor closes it.
    int host = raw_open("host.txt");
    ASSERT_EQ((intptr_t)stale.handle, host);
    char buffer[8];
    EXPECT_EQ(read_file(&stale, buffer, 6, 0), 0u);
    EXPECT_EQ(write_file(&stale, "x", 1, 0), 0u);
    close_file(&stale);
    EXPECT_EQ(read(host, buffer, 6), 6);
    EXPECT_EQ(std::string(buffer, 6), "host's");
    close(host);

    // Numbers no descriptor has, and the invalid values.
    for (void* stray : {(void*)(intptr_t)-1, (void*)0, (void*)(intptr_t)-7,
                        (void*)0x100000003ull, (void*)(intptr_t)4000}) {
        file_handle fake = {};
        fake.handle = stray;
        EXPECT_EQ(read_file(&fake, buffer, 8, 0), 0u);
        EXPECT_EQ(file_size(&fake), 0u);
        EXPECT_EQ(file_changed(&fake), 0u);
        EXPECT_EQ(file_time_of_handle(stray, FILE_TIME_LAST_WRITE), 0u);
        close_file(&fake);
    }

    // A FIFO opens without waiting for a writer and reads nothing.
    ASSERT_EQ(mkfifo("fifo", 0666), 0);
    file = open_file("fifo", 0, FILE_OPEN_READ);
    EXPECT_TRUE(handle_valid(file.handle));
    EXPECT_EQ(read_file(&file, buffer, 8, 0), 0u);
    close_file(&file);

    // With standard input closed, descriptor 0 is still never handed out.
    int saved = dup(0);
    close(0);
    file = open_file("mine.txt", 0, FILE_OPEN_READ);
    EXPECT_GE((intptr_t)file.handle, 3);
    EXPECT_EQ(read_file(&file, buffer, 6, 0), 6u);
    close_file(&file);
    EXPECT_EQ(read_file_at_path("mine.txt", buffer, 6, 0), 6u);
    EXPECT_FALSE(descriptor_open(0));
    dup2(saved, 0);
    close(saved);
}

TEST_F(FileServices, ClosingClearsTheRecordsHandle) {
    write_text("one.txt", "first");
    file_handle file = open_file("one.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    EXPECT_EQ(file_changed(&file), 0u);
    const u64 seen = file.last_write_time;
    ASSERT_NE(seen, 0u);
    close_file(&file);
    EXPECT_EQ(file.handle, nullptr);
    EXPECT_STREQ(file.name, "one.txt");
    char buffer[8];
    EXPECT_EQ(read_file(&file, buffer, 5, 0), 0u);
    EXPECT_EQ(write_file(&file, "x", 1, 0), 0u);
    EXPECT_EQ(file_size(&file), 0u);
    EXPECT_EQ(file_changed(&file), 0u);
    EXPECT_EQ(file.last_write_time, seen);
    close_file(NULL);
    EXPECT_EQ(read_text("one.txt"), "first");
}
