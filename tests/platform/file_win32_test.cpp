// The file services against real files in a scratch folder.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "platform/file_win32.h"
#include "platform/services.h"
#include "tests/platform/file_services.h"

static std::string error_message(void) { return last_file_error().message; }

TEST_F(FileServices, ReadsAndWritesAtOffsetsWithPositionAndCounters) {
    file_handle file = open_file("data/log.bin", 0, FILE_OPEN_WRITE);
    ASSERT_TRUE(handle_valid(file.handle));
    EXPECT_STREQ(file.name, "data/log.bin");  // unchanged, "/" and all
    EXPECT_EQ(file.position, 0u);
    EXPECT_EQ(file.last_write_time, 0u);

    EXPECT_EQ(write_file(&file, "hello", 5, 0), 5u);
    EXPECT_EQ(file.position, 5u);
    EXPECT_EQ(write_file(&file, "XY", 2, 10), 2u);
    EXPECT_EQ(file.position, 12u);
    EXPECT_EQ(file.bytes_written, 7u);
    EXPECT_EQ(file_size(&file), 12u);
    EXPECT_EQ(file_size_of_handle(file.handle), 12u);

    char buffer[100];
    memset(buffer, '?', sizeof(buffer));
    EXPECT_EQ(read_file(&file, buffer, 3, 1), 3u);
    EXPECT_EQ(std::string(buffer, 3), "ell");
    EXPECT_EQ(file.position, 4u);
    // Past the end: fewer bytes, then none; the position follows the offset.
    EXPECT_EQ(read_file(&file, buffer, 100, 0), 12u);
    EXPECT_EQ(std::string(buffer, 12), std::string("hello\0\0\0\0\0XY", 12));
    EXPECT_EQ(file.position, 12u);
    EXPECT_EQ(read_file(&file, buffer, 10, 20), 0u);
    EXPECT_EQ(file.position, 20u);
    EXPECT_EQ(file.bytes_read, 15u);
    close_file(&file);
    EXPECT_EQ(read_text("data\\log.bin"), std::string("hello\0\0\0\0\0XY", 12));

    // The byte counter wraps at 32 bits.
    file = open_file("data/log.bin", 0, FILE_OPEN_READ);
    file.bytes_read = 0xFFFFFFFEu;
    EXPECT_EQ(read_file(&file, buffer, 5, 0), 5u);
    EXPECT_EQ(file.bytes_read, 3u);
    close_file(&file);

    // A 40-byte file read with room for 100.
    write_text("forty.txt", std::string(40, 'f'));
    file = open_file("forty.txt", 0, FILE_OPEN_READ);
    EXPECT_EQ(read_file(&file, buffer, 100, 0), 40u);
    EXPECT_EQ(file.position, 40u);
    EXPECT_EQ(file.bytes_read, 40u);
    close_file(&file);
}

TEST_F(FileServices, FailedOpenLeavesParentsAndReportsPathNotFound) {
    file_handle file = open_file("a/b/c.txt", 0, FILE_OPEN_READ);
    EXPECT_TRUE(record_is_zero(file));
    EXPECT_TRUE(is_directory("a"));
    EXPECT_TRUE(is_directory("a\\b"));
    EXPECT_FALSE(path_present("a\\b\\c.txt"));
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(error_message(), "path not found");

    // Every operation on the zero record does nothing; read still moves
    // the position to the offset given.
    char buffer[8];
    EXPECT_EQ(read_file(&file, buffer, 8, 6), 0u);
    EXPECT_EQ(file.position, 6u);
    EXPECT_EQ(write_file(&file, "x", 1, 2), 0u);
    EXPECT_EQ(file.position, 2u);
    EXPECT_EQ(file_size(&file), 0u);
    EXPECT_EQ(file_changed(&file), 0u);
    EXPECT_EQ(file_time_of_handle(file.handle, FILE_TIME_LAST_WRITE), 0u);
    close_file(&file);

    // Reads by path create parents too.
    EXPECT_EQ(read_file_at_path("p/q/r.txt", buffer, 8, 0), 0u);
    EXPECT_TRUE(is_directory("p\\q"));
}

TEST_F(FileServices, ErrorCodesPersistUntilTheNextMappedFailure) {
    write_text("held.txt", "x");
    HANDLE exclusive = CreateFileA("held.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(record_is_zero(open_file("held.txt", 0, FILE_OPEN_READ)));
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_SHARING_VIOLATION);
    EXPECT_EQ(error_message(), "sharing violation");
    char buffer[4];
    EXPECT_EQ(read_file_at_path("held.txt", buffer, 1, 0), 0u);
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_SHARING_VIOLATION);
    CloseHandle(exclusive);

    // A directory can't be opened as a file: access denied.
    CreateDirectoryA("folder", NULL);
    EXPECT_TRUE(record_is_zero(open_file("folder", 0, FILE_OPEN_WRITE)));
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_ACCESS_DENIED);
    EXPECT_EQ(error_message(), "access denied");

    // Successes don't clear it, and reading it doesn't either.
    EXPECT_EQ(write_file_at_path("ok.txt", "fine", 4, 0), 4u);
    EXPECT_EQ(read_file_at_path("ok.txt", buffer, 4, 0), 4u);
    file_handle file = open_file("ok.txt", 0, FILE_OPEN_READ);
    close_file(&file);
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_ACCESS_DENIED);
    EXPECT_EQ(error_message(), "access denied");

    // A system error outside the mapping leaves it as it was.
    record_file_error(ERROR_INVALID_NAME);
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_ACCESS_DENIED);
    record_file_error(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_PATH_NOT_FOUND);

    // Only read_entire_file clears it; row 0 then reads "unknown error".
    entire_file whole = read_entire_file("ok.txt", "");
    VirtualFree(whole.data, 0, MEM_RELEASE);
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_UNKNOWN);
    EXPECT_EQ(error_message(), "unknown error");
}

static void set_write_time(const char* path, u64 time) {
    HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME stamp = {(DWORD)time, (DWORD)(time >> 32)};
    ASSERT_TRUE(SetFileTime(file, NULL, NULL, &stamp));
    CloseHandle(file);
}

TEST_F(FileServices, FileChangedSeesARealModification) {
    write_text("watched.txt", "one");
    set_write_time("watched.txt", 130000000000000000ull);
    file_handle file = open_file("watched.txt", 0, FILE_OPEN_READ);
    EXPECT_EQ(file_changed(&file), 0u);  // the first call only records
    EXPECT_EQ(file.last_write_time, 130000000000000000ull);
    EXPECT_EQ(file_changed(&file), 0u);

    // Another writer changes it through its own handle; the system stamps
    // the write with the present time.
    write_file_at_path("watched.txt", "two!", 4, 0);
    EXPECT_EQ(file_changed(&file), 2u);
    EXPECT_GT(file.last_write_time, 130000000000000000ull);
    EXPECT_EQ(file_changed(&file), 0u);

    // A write through the record itself counts as well, once the clock moved.
    close_file(&file);
    file = open_file("watched.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    EXPECT_EQ(file_changed(&file), 0u);
    Sleep(50);
    EXPECT_EQ(write_file(&file, "3", 1, 0), 1u);
    FlushFileBuffers(file.handle);
    EXPECT_EQ(file_changed(&file), 2u);
    char buffer[8];
    EXPECT_EQ(read_file(&file, buffer, 8, 0), 4u);
    close_file(&file);
}

TEST_F(FileServices, TimeStampsByKind) {
    write_text("stamped.txt", "t");
    HANDLE handle = CreateFileA("stamped.txt", FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    FILETIME access = {0x11112222, 0x01d00000};
    FILETIME write = {0x33334444, 0x01d10000};
    ASSERT_TRUE(SetFileTime(handle, NULL, &access, &write));
    FILETIME creation, unused_access, unused_write;
    GetFileTime(handle, &creation, &unused_access, &unused_write);
    CloseHandle(handle);
    const u64 access_time = 0x01d0000011112222ull;
    const u64 write_time = 0x01d1000033334444ull;
    const u64 creation_time = ((u64)creation.dwHighDateTime << 32) | creation.dwLowDateTime;

    EXPECT_EQ(file_time_at_path("stamped.txt", FILE_TIME_LAST_ACCESS), access_time);
    EXPECT_EQ(file_time_at_path("stamped.txt", FILE_TIME_LAST_WRITE), write_time);
    EXPECT_EQ(file_time_at_path("stamped.txt", FILE_TIME_CREATION), creation_time);
    EXPECT_EQ(file_time_at_path("stamped.txt", 3), 0u);
    EXPECT_EQ(file_time_at_path("nothing.txt", FILE_TIME_LAST_WRITE), 0u);

    CreateDirectoryA("sub", NULL);
    MoveFileA("stamped.txt", "sub\\stamped.txt");
    EXPECT_EQ(file_time_at_path("sub/stamped.txt", FILE_TIME_LAST_WRITE), write_time);
    EXPECT_EQ(file_time_with_prefix("stamped.txt", "sub/", FILE_TIME_LAST_WRITE), write_time);

    file_handle file = open_file("sub/stamped.txt", 0, FILE_OPEN_READ);
    EXPECT_EQ(file_time_of_handle(file.handle, FILE_TIME_LAST_WRITE), write_time);
    EXPECT_EQ(file_time_of_handle(file.handle, FILE_TIME_LAST_ACCESS), access_time);
    EXPECT_EQ(file_time_of_handle(file.handle, FILE_TIME_CREATION), creation_time);
    EXPECT_EQ(file_time_of_handle(file.handle, 7), 0u);
    EXPECT_EQ(file_time_of_handle(INVALID_HANDLE_VALUE, FILE_TIME_LAST_WRITE), 0u);
    close_file(&file);
}

TEST_F(FileServices, SizesIncludingSharingAndBeyond32Bits) {
    write_text("sized.txt", "12345");
    EXPECT_EQ(file_size_at_path("sized.txt"), 5u);
    EXPECT_EQ(file_size_with_prefix("zed.txt", "si"), 5u);
    EXPECT_EQ(file_size_at_path("unsized.txt"), 0u);

    // Held open for writing by the module, the file refuses a read-only share.
    file_handle writer = open_file("sized.txt", 5, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    ASSERT_TRUE(handle_valid(writer.handle));
    EXPECT_EQ(file_size_at_path("sized.txt"), 0u);
    EXPECT_EQ(file_size(&writer), 5u);
    close_file(&writer);
    EXPECT_EQ(file_size_at_path("sized.txt"), 5u);

    // A sparse file past 4 GiB: sizes report all 64 bits, listings the low 32.
    HANDLE big = CreateFileA("big.bin", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER end;
    end.QuadPart = 0x100000007ll;
    ASSERT_TRUE(SetFilePointerEx(big, end, NULL, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(big));
    CloseHandle(big);
    EXPECT_EQ(file_size_at_path("big.bin"), 0x100000007ull);
    dir_entry entry;
    ASSERT_EQ(list_directory("big.bin", &entry, 1), 1u);
    EXPECT_EQ(entry.size, 7u);
    DeleteFileA("big.bin");
}

TEST_F(FileServices, ListsDirectoriesWithinCapacity) {
    CreateDirectoryA("list", NULL);
    CreateDirectoryA("list\\inner", NULL);
    write_text("list\\one.txt", "1");
    write_text("list\\two.txt", "22");
    write_text("list\\three.txt", "333");

    dir_entry entries[8];
    u32 count = list_directory("list/*", entries, 8);
    ASSERT_EQ(count, 6u);
    std::string seen;
    for (u32 i = 0; i < count; ++i) {
        std::string name = entries[i].name;
        if (name == "." || name == ".." || name == "inner") {
            EXPECT_EQ(entries[i].is_directory, 1u) << name;
        } else {
            EXPECT_EQ(entries[i].is_directory, 0u) << name;
            EXPECT_EQ(entries[i].size, name == "one.txt" ? 1u : name == "two.txt" ? 2u : 3u);
        }
        seen += name + ";";
    }
    for (const char* name : {".;", "..;", "inner;", "one.txt;", "two.txt;", "three.txt;"}) {
        EXPECT_NE(seen.find(name), std::string::npos) << name << " in " << seen;
    }

    // At capacity: exactly that many, nothing written past them.
    memset(entries, 0x5A, sizeof(entries));
    EXPECT_EQ(list_directory("list\\*", entries, 3), 3u);
    EXPECT_NE(entries[2].name[0], 0x5A);
    for (u32 i = 3; i < 8; ++i) {
        EXPECT_EQ((u8)entries[i].name[0], 0x5A);
    }
    EXPECT_EQ(list_directory("list\\*", entries, 0), 0u);
    EXPECT_EQ(list_directory("list\\*.txt", entries, 8), 3u);
    EXPECT_EQ(list_directory("missing\\*", entries, 8), 0u);
}

TEST_F(FileServices, WholePathReadsAndWrites) {
    EXPECT_EQ(write_file_at_path("out/fifteen.bin", "abcde", 5, 10), 5u);
    EXPECT_EQ(read_text("out\\fifteen.bin"), std::string(10, '\0') + "abcde");
    char buffer[16];
    EXPECT_EQ(read_file_at_path("out/fifteen.bin", buffer, 16, 8), 7u);
    EXPECT_EQ(std::string(buffer, 7), std::string("\0\0abcde", 7));
    // Writing again truncates first.
    EXPECT_EQ(write_file_at_path("out/fifteen.bin", "z", 1, 0), 1u);
    EXPECT_EQ(read_text("out\\fifteen.bin"), "z");
}

TEST_F(FileServices, ExistsDeletesAndMoves) {
    write_text("here.txt", "h");
    CreateDirectoryA("dir", NULL);
    write_text("dir\\inside.txt", "i");
    EXPECT_EQ(file_exists("here.txt"), 1u);
    EXPECT_EQ(file_exists("dir/inside.txt"), 1u);
    EXPECT_EQ(file_exists("nowhere.txt"), 0u);
    EXPECT_EQ(file_exists_with_prefix("inside.txt", "dir/"), 1u);
    // The search-path lookup also finds names outside the working directory:
    // in the system directory, and beside the executable.
    EXPECT_FALSE(path_present("kernel32.dll"));
    EXPECT_EQ(file_exists("kernel32.dll"), 1u);
    char executable[MAX_PATH];
    GetModuleFileNameA(NULL, executable, sizeof(executable));
    const char* base_name = strrchr(executable, '\\') + 1;
    EXPECT_FALSE(path_present(base_name));
    EXPECT_EQ(file_exists(base_name), 1u) << base_name;

    EXPECT_TRUE(move_file("here.txt", "dir\\moved.txt"));
    EXPECT_FALSE(path_present("here.txt"));
    EXPECT_EQ(read_text("dir\\moved.txt"), "h");
    EXPECT_FALSE(move_file("here.txt", "again.txt"));
    EXPECT_TRUE(delete_file("dir\\moved.txt"));
    EXPECT_FALSE(path_present("dir\\moved.txt"));
    EXPECT_FALSE(delete_file("dir\\moved.txt"));
}

TEST_F(FileServices, OutOfRangeArgumentsFailCleanly) {
    write_text("ten.txt", "0123456789");
    // A position past the end is refused and the handle not leaked: the
    // file can be deleted right away.
    EXPECT_TRUE(record_is_zero(open_file("ten.txt", 11, FILE_OPEN_READ)));
    file_handle at_end = open_file("ten.txt", 10, FILE_OPEN_READ);
    EXPECT_TRUE(handle_valid(at_end.handle));
    close_file(&at_end);
    EXPECT_TRUE(record_is_zero(open_file("fresh.txt", 1, FILE_OPEN_WRITE)));
    EXPECT_FALSE(path_present("fresh.txt"));
    // A truncating open that is bound to fail leaves the file as it was.
    EXPECT_TRUE(record_is_zero(open_file("ten.txt", 4, FILE_OPEN_WRITE)));
    EXPECT_EQ(read_text("ten.txt"), "0123456789");
    EXPECT_TRUE(DeleteFileA("ten.txt"));

    // read_file sizes of 0xFFFFFFFF and more read nothing.
    write_text("ten.txt", "0123456789");
    file_handle file = open_file("ten.txt", 0, FILE_OPEN_READ);
    char buffer[16];
    EXPECT_EQ(read_file(&file, buffer, 0xFFFFFFFFull, 2), 0u);
    EXPECT_EQ(file.position, 2u);
    EXPECT_EQ(read_file(&file, buffer, 0x100000005ull, 0), 0u);
    EXPECT_EQ(file.bytes_read, 0u);
    EXPECT_EQ(read_file(&file, buffer, 16, 0), 10u);
    close_file(&file);

    // Offsets of 2 GiB and more land where they say.
    file = open_file("far.bin", 0, FILE_OPEN_WRITE);
    EXPECT_EQ(write_file(&file, "far", 3, 0x80000010u), 3u);
    EXPECT_EQ(file.position, 0x80000013u);
    EXPECT_EQ(file_size(&file), 0x80000013ull);
    memset(buffer, 0, sizeof(buffer));
    EXPECT_EQ(read_file(&file, buffer, 8, 0x8000000Fu), 4u);
    EXPECT_EQ(std::string(buffer, 4), std::string("\0far", 4));
    close_file(&file);
    DeleteFileA("far.bin");
}

// name behind "./" and "/" steps: exactly length characters that the
// system reduces to name.
static std::string dotted_path(u32 length, const std::string& name) {
    std::string path = (length - name.size()) % 2 ? "/" : "";
    while (path.size() + name.size() < length) {
        path = "./" + path;
    }
    return path + name;
}

TEST_F(FileServices, OverLongPathsFailLikeMissingFiles) {
    const std::string fits = long_path(255);
    const std::string over = "o" + long_path(255);
    const std::string query_over = long_path(260);
    char buffer[8] = {0};
    dir_entry entry;

    // 255 characters is the limit and works.
    file_handle file = open_file(fits.c_str(), 0, FILE_OPEN_WRITE);
    ASSERT_TRUE(handle_valid(file.handle));
    EXPECT_EQ(fits, file.name);
    close_file(&file);
    EXPECT_EQ(write_file_at_path(fits.c_str(), "ok", 2, 0), 2u);
    EXPECT_EQ(read_file_at_path(fits.c_str(), buffer, 8, 0), 2u);

    // The same limits on a short file reached through a long path: the
    // system finds it, the services refuse the 256-character form.
    write_text("here.txt", "here");
    const std::string dotted_fits = dotted_path(255, "here.txt");
    const std::string dotted_over = dotted_path(256, "here.txt");
    EXPECT_EQ(file_exists(dotted_fits.c_str()), 1u);
    EXPECT_EQ(file_exists(dotted_over.c_str()), 0u);
    EXPECT_EQ(read_file_at_path(dotted_fits.c_str(), buffer, 8, 0), 4u);
    EXPECT_EQ(read_file_at_path(dotted_over.c_str(), buffer, 8, 0), 0u);
    EXPECT_TRUE(record_is_zero(open_file(dotted_over.c_str(), 0, FILE_OPEN_READ)));
    EXPECT_EQ(file_size_at_path(dotted_path(259, "here.txt").c_str()), 4u);
    EXPECT_EQ(file_size_at_path(dotted_path(260, "here.txt").c_str()), 0u);
    EXPECT_NE(file_time_at_path(dotted_path(259, "here.txt").c_str(), FILE_TIME_LAST_WRITE), 0u);
    EXPECT_EQ(file_time_at_path(dotted_path(260, "here.txt").c_str(), FILE_TIME_LAST_WRITE), 0u);
    EXPECT_TRUE(set_working_directory(dotted_path(255, ".").c_str()));
    EXPECT_FALSE(set_working_directory(dotted_path(256, ".").c_str()));

    // One more and nothing happens, not even with the path cut short.
    record_file_error(ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(record_is_zero(open_file(over.c_str(), 0, FILE_OPEN_WRITE)));
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(write_file_at_path(over.c_str(), "no", 2, 0), 0u);
    EXPECT_EQ(read_file_at_path(over.c_str(), buffer, 8, 0), 0u);
    EXPECT_EQ(file_exists(over.c_str()), 0u);
    std::string cut = over.substr(0, 255);
    EXPECT_FALSE(path_present(cut.c_str()));
    EXPECT_FALSE(path_present("od123456789"));
    EXPECT_EQ(read_text(fits.c_str()), "ok");

    EXPECT_FALSE(set_working_directory(over.c_str()));
    EXPECT_FALSE(make_directory(over.c_str()));
    EXPECT_FALSE(remove_directory(over.c_str()));

    // The queries and the pass-through slots take up to 259 characters.
    EXPECT_EQ(file_time_at_path(query_over.c_str(), FILE_TIME_LAST_WRITE), 0u);
    EXPECT_EQ(file_size_at_path(query_over.c_str()), 0u);
    EXPECT_EQ(list_directory(query_over.c_str(), &entry, 1), 0u);
    EXPECT_FALSE(delete_file(query_over.c_str()));
    EXPECT_FALSE(move_file(fits.c_str(), query_over.c_str()));
    EXPECT_FALSE(move_file(query_over.c_str(), "x.txt"));
    EXPECT_EQ(file_size_with_prefix(query_over.c_str() + 200, query_over.substr(0, 200).c_str()),
              0u);
    EXPECT_EQ(read_text(fits.c_str()), "ok");

    // Null paths and records are refused the same way.
    EXPECT_EQ(read_file(NULL, buffer, 8, 0), 0u);
    EXPECT_EQ(write_file(NULL, "x", 1, 0), 0u);
    EXPECT_EQ(file_changed(NULL), 0u);
    EXPECT_EQ(file_size(NULL), 0u);
    close_file(NULL);
    EXPECT_EQ(list_directory("*", NULL, 4), 0u);
    EXPECT_TRUE(record_is_zero(open_file(NULL, 0, FILE_OPEN_READ)));
    EXPECT_EQ(file_exists(NULL), 0u);
    EXPECT_EQ(file_size_at_path(NULL), 0u);
    EXPECT_EQ(list_directory(NULL, &entry, 1), 0u);
    EXPECT_FALSE(delete_file(NULL));
}

TEST_F(FileServices, WholeFileOperationsAndFirstEntry) {
    EXPECT_EQ(write_entire_file("whole.txt", "", "entire contents", 15), 15u);
    entire_file whole = read_entire_file("whole.txt", "");
    ASSERT_NE(whole.data, nullptr);
    EXPECT_EQ(whole.size, 15u);
    EXPECT_EQ(whole.reserved, 0u);
    EXPECT_EQ(std::string((char*)whole.data, 15), "entire contents");
    VirtualFree(whole.data, 0, MEM_RELEASE);

    whole = read_entire_file("missing.txt", "");
    EXPECT_EQ(whole.data, nullptr);
    EXPECT_EQ(whole.size, 0u);
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_PATH_NOT_FOUND);
    // No parent directories for these.
    EXPECT_EQ(write_entire_file("f.txt", "nodir/", "x", 1), 0u);
    EXPECT_FALSE(path_present("nodir"));

    HANDLE handle = CreateFileA("whole.txt", GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_EQ(append_at_end(handle, "!", 1), 1u);
    CloseHandle(handle);
    EXPECT_EQ(append_at_end(INVALID_HANDLE_VALUE, "!", 1), 0u);
    EXPECT_EQ(read_text("whole.txt"), "entire contents!");

    char buffer[MAX_PATH + 8];
    CreateDirectoryA("scan", NULL);
    EXPECT_EQ(first_directory_entry(buffer, "scan"), 0u);
    EXPECT_STREQ(buffer, "");
    write_text("scan\\only.txt", "o");
    EXPECT_EQ(first_directory_entry(buffer, "scan"), 13u);
    EXPECT_STREQ(buffer, "scan/only.txt");
    EXPECT_EQ(first_directory_entry(buffer, "scan/"), 13u);
    EXPECT_STREQ(buffer, "scan/only.txt");
    EXPECT_EQ(first_directory_entry(buffer, "absent"), 0u);
    EXPECT_STREQ(buffer, "");
}

TEST_F(FileServices, ClosingClearsTheRecordsHandle) {
    write_text("one.txt", "first");
    write_text("two.txt", "second");
    file_handle file = open_file("one.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    char buffer[8];
    EXPECT_EQ(file_changed(&file), 0u);
    const u64 seen = file.last_write_time;
    ASSERT_NE(seen, 0u);
    close_file(&file);
    EXPECT_EQ(file.handle, nullptr);
    EXPECT_STREQ(file.name, "one.txt");
    // The system may hand the same number to the next open: the closed
    // record must not reach that file.
    HANDLE other = CreateFileA("two.txt", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(read_file(&file, buffer, 6, 0), 0u);
    EXPECT_EQ(write_file(&file, "x", 1, 0), 0u);
    EXPECT_EQ(file_size(&file), 0u);
    EXPECT_EQ(file_changed(&file), 0u);
    EXPECT_EQ(file.last_write_time, seen);
    close_file(&file);
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(other, buffer, 6, &count, NULL));
    EXPECT_EQ(std::string(buffer, count), "second");
    CloseHandle(other);
    close_file(NULL);
}
