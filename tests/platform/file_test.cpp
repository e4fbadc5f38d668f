// The file services where both systems behave alike, against real files.
#include <string>

#include "tests/platform/file_services.h"

TEST_F(FileServices, RefusedWritesLeaveTheFileAsItWas) {
    write_text("keep.txt", "precious");
    EXPECT_EQ(write_file_at_path("keep.txt", NULL, 5, 0), 0u);
    EXPECT_EQ(read_text("keep.txt"), "precious");
    // A buffer that runs into a no-access page can't be written either.
    memory_block block = allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    ASSERT_NE(block.memory, nullptr);
    EXPECT_EQ(write_file_at_path("keep.txt", (u8*)block.memory + 50, 100, 0), 0u);
    EXPECT_EQ(read_text("keep.txt"), "precious");
    EXPECT_EQ(write_file_at_path("keep.txt", block.memory, 100, 0), 100u);
    EXPECT_EQ(read_text("keep.txt"), std::string(100, '\0'));
    free_memory(&block);
    EXPECT_EQ(write_file_at_path("keep.txt", "", 0, 0), 0u);  // an empty write still empties
    EXPECT_EQ(read_text("keep.txt"), "");
}

TEST_F(FileServices, RefusedPositionsRecordUnknownAndCreateNothing) {
    write_text("short.txt", "abc");
    EXPECT_TRUE(record_is_zero(open_file("absent.txt", 0, FILE_OPEN_READ)));
    EXPECT_EQ(last_file_error().code, 1u);
    // Past the end of an existing file: no reason the system knows.
    EXPECT_TRUE(record_is_zero(open_file("short.txt", 4, FILE_OPEN_WRITE | FILE_OPEN_KEEP)));
    EXPECT_EQ(last_file_error().code, 0u);
    EXPECT_EQ(std::string(last_file_error().message), "unknown error");
    EXPECT_TRUE(record_is_zero(open_file("absent.txt", 0, FILE_OPEN_READ)));
    EXPECT_TRUE(record_is_zero(open_file("short.txt", 1, FILE_OPEN_WRITE)));
    EXPECT_EQ(last_file_error().code, 0u);
    EXPECT_EQ(read_text("short.txt"), "abc");
    // A file the open would have to create can't hold a position past 0.
    EXPECT_TRUE(record_is_zero(open_file("new.txt", 1, FILE_OPEN_WRITE | FILE_OPEN_KEEP)));
    EXPECT_FALSE(path_present("new.txt"));
    EXPECT_EQ(last_file_error().code, 1u);
    file_handle file = open_file("short.txt", 3, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    EXPECT_TRUE(handle_valid(file.handle));
    close_file(&file);
}

TEST_F(FileServices, ExistsFindsLongRelativeNames) {
#ifdef _WIN32
    // With the working directory in front the longest pass MAX_PATH.
    ASSERT_GT(strlen(scratch.path) + 1 + 255, (size_t)MAX_PATH);
#endif
    for (u32 length : {219u, 240u, 255u}) {
        std::string path = long_path(length);
        ASSERT_EQ(write_file_at_path(path.c_str(), "x", 1, 0), 1u) << length;
        EXPECT_EQ(file_exists(path.c_str()), 1u) << length;
        path.back() = path.back() == 'q' ? 'r' : 'q';
        EXPECT_EQ(file_exists(path.c_str()), 0u) << length;
    }
}

TEST_F(FileServices, MakesAndRemovesOneDirectoryAtATime) {
    EXPECT_FALSE(make_directory("x/y"));  // the parent must exist
    EXPECT_FALSE(path_present("x"));
    EXPECT_TRUE(make_directory("x"));
    EXPECT_FALSE(make_directory("x"));
    EXPECT_TRUE(make_directory("x\\y"));
    EXPECT_TRUE(is_directory("x/y"));
    write_text("x/y/file.txt", "f");
    EXPECT_FALSE(remove_directory("x/y"));  // not empty
    EXPECT_TRUE(delete_file("x\\y\\file.txt"));
    EXPECT_TRUE(remove_directory("x\\y"));
    EXPECT_TRUE(remove_directory("x"));
    EXPECT_FALSE(path_present("x"));
    EXPECT_FALSE(remove_directory("x"));
    write_text("plain", "p");
    EXPECT_FALSE(remove_directory("plain"));
}

TEST_F(FileServices, TruncatesOrKeepsAsTheFlagsSay) {
    write_text("keep.txt", "contents");
    file_handle file = open_file("keep.txt", 8, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    ASSERT_TRUE(handle_valid(file.handle));
    EXPECT_EQ(file.position, 8u);
    EXPECT_EQ(write_file(&file, "!", 1, 8), 1u);
    close_file(&file);
    EXPECT_EQ(read_text("keep.txt"), "contents!");

    // KEEP alone opens read-only: a write moves nothing.
    file = open_file("keep.txt", 0, FILE_OPEN_KEEP);
    ASSERT_TRUE(handle_valid(file.handle));
    EXPECT_EQ(write_file(&file, "zz", 2, 0), 0u);
    EXPECT_EQ(file.bytes_written, 0u);
    close_file(&file);
    EXPECT_EQ(read_text("keep.txt"), "contents!");
    // ...and the file must exist.
    EXPECT_TRUE(record_is_zero(open_file("absent.txt", 0, FILE_OPEN_KEEP)));
    EXPECT_FALSE(path_present("absent.txt"));

    // KEEP with WRITE creates a missing file.
    file = open_file("created.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    EXPECT_TRUE(handle_valid(file.handle));
    close_file(&file);
    EXPECT_TRUE(path_present("created.txt"));

    // A position past the end fails; a truncating open with a position fails
    // before it touches the file.
    EXPECT_TRUE(record_is_zero(open_file("keep.txt", 10, FILE_OPEN_READ)));
    EXPECT_TRUE(record_is_zero(open_file("keep.txt", 4, FILE_OPEN_WRITE)));
    EXPECT_EQ(read_text("keep.txt"), "contents!");

    // WRITE alone truncates.
    file = open_file("keep.txt", 0, FILE_OPEN_WRITE);
    EXPECT_EQ(file_size(&file), 0u);
    close_file(&file);
    EXPECT_EQ(read_text("keep.txt"), "");
}
