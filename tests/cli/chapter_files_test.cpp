// The program's reader of chapter list files, on the table of files in
// tests/chapter_files (cases.json), which the Python package's reader is
// checked on too; and the options text made from what it read.
#include "formats/chapter_files.h"
#include "formats/json_doc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace silsplit_cli;

namespace {

const std::string kDir = CHAPTER_FILES_DIR;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Case {
    std::string file;
    yyjson_val *expected; // the case's object in cases.json
};

class ChapterFileTable : public ::testing::Test {
  protected:
    void SetUp() override {
        doc_ = read_json(slurp(kDir + "/cases.json"));
        ASSERT_TRUE(doc_) << "cases.json is not JSON";
    }
    yyjson_val *cases() { return yyjson_obj_get(yyjson_doc_get_root(doc_.get()), "cases"); }
    JsonDoc doc_;
};

TEST_F(ChapterFileTable, EveryFileReadsAsTheTableSays) {
    size_t idx, max, checked = 0;
    yyjson_val *c;
    yyjson_arr_foreach(cases(), idx, max, c) {
        // A file of the folder, or the text of a case given in the table
        // (UTF-8), read under its name.
        yyjson_val *text = yyjson_obj_get(c, "text");
        const std::string file = yyjson_get_str(yyjson_obj_get(c, text ? "name" : "file"));
        const std::string path = text ? file : kDir + "/" + file;
        SCOPED_TRACE(file);
        ChapterList list;
        const std::string error =
            text ? parse_chapter_list(std::string(yyjson_get_str(text), yyjson_get_len(text)), path, &list)
                 : read_chapter_file(path, &list);
        yyjson_val *want_error = yyjson_obj_get(c, "error");
        if (want_error) {
            yyjson_val *line = yyjson_obj_get(c, "line");
            const std::string where =
                yyjson_is_null(line) ? path + ": " : path + ":" + std::to_string(yyjson_get_int(line)) + ": ";
            EXPECT_EQ(error, where + yyjson_get_str(want_error));
        } else {
            ASSERT_EQ(error, "");
            EXPECT_EQ(list.format, yyjson_get_str(yyjson_obj_get(c, "format")));
            yyjson_val *want = yyjson_obj_get(c, "chapters");
            ASSERT_EQ(list.marks.size(), yyjson_arr_size(want));
            for (size_t k = 0; k < list.marks.size(); ++k) {
                const ChapterMark &m = list.marks[k];
                yyjson_val *w = yyjson_arr_get(want, k);
                EXPECT_NEAR(m.t0, yyjson_get_num(yyjson_obj_get(w, "t0")), 1e-9) << "chapter " << k;
                yyjson_val *t1 = yyjson_obj_get(w, "t1");
                EXPECT_EQ(m.has_t1, t1 != nullptr) << "chapter " << k;
                if (t1 && m.has_t1) {
                    EXPECT_NEAR(m.t1, yyjson_get_num(t1), 1e-9) << "chapter " << k;
                }
                yyjson_val *title = yyjson_obj_get(w, "title");
                EXPECT_EQ(m.has_title, title != nullptr) << "chapter " << k;
                if (title) {
                    EXPECT_EQ(m.title, yyjson_get_str(title)) << "chapter " << k;
                }
            }
        }
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

TEST(ChapterFiles, MissingFileNamesItAndTheReason) {
    ChapterList list;
    EXPECT_EQ(read_chapter_file(kDir + "/missing.cue", &list),
              kDir + "/missing.cue: No such file or directory");
}

TEST(ChapterFiles, TitleFileKeepsInnerEmptyLinesAndDropsTheLastNewline) {
    char path[] = "/tmp/titles-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string body = "\xEF\xBB\xBFOne\r\n\r\nThree / Four\n\n";
    ASSERT_EQ(write(fd, body.data(), body.size()), (ssize_t)body.size());
    close(fd);
    std::vector<std::string> titles;
    EXPECT_EQ(read_title_file(path, &titles), "");
    EXPECT_EQ(titles, (std::vector<std::string>{"One", "", "Three / Four"}));
    remove(path);
}

// A device or a wrong file is refused after 16 MiB, not read until the
// memory runs out: /dev/zero, and a (sparse) file one byte too long.
TEST(ChapterFiles, ListFilesPastSixteenMiBAreRefused) {
    ChapterList list;
    std::vector<std::string> titles;
    EXPECT_EQ(read_chapter_file("/dev/zero", &list),
              "/dev/zero: longer than 16 MiB, the most a chapter list may hold: is it the right file?");
    EXPECT_EQ(read_title_file("/dev/zero", &titles),
              "/dev/zero: longer than 16 MiB, the most a title list may hold: is it the right file?");
    char path[] = "/tmp/long-list-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)kMaxListBytes + 1), 0);
    close(fd);
    EXPECT_NE(read_chapter_file(path, &list).find(": longer than 16 MiB"), std::string::npos);
    ASSERT_EQ(truncate(path, (off_t)kMaxListBytes), 0); // at the limit: read (and refused as text)
    EXPECT_EQ(read_chapter_file(path, &list).find(": longer than 16 MiB"), std::string::npos);
    remove(path);
}

// More chapters than a list may hold: said with the count, not by the
// library's options check.
TEST(ChapterFiles, TooManyChaptersAreCounted) {
    std::string text;
    for (int k = 0; k <= 10000; ++k)
        text += std::to_string(k) + "\n";
    ChapterList list;
    EXPECT_EQ(parse_chapter_list(text, "many.txt", &list),
              "many.txt: holds 10001 chapters; a list may hold at most 10000");
}

// The keys join what the flags gave; times keep every digit, titles are
// written only when given.
TEST(ChapterFiles, OptionsTextCarriesTheList) {
    ChapterList list;
    ASSERT_EQ(parse_chapter_list("0\t61.123456789\tOne \"1\"\n61.123456789\t70\t\n", "x", &list), "");
    EXPECT_EQ(options_with_chapters("{\"keep_all\":true}", list.marks),
              "{\"keep_all\":true,\"chapters\":[{\"t0\":0.0,\"t1\":61.123456789,\"title\":"
              "\"One \\\"1\\\"\"},{\"t0\":61.123456789,\"t1\":70.0}]}");
    EXPECT_EQ(options_with_hints("", list.marks),
              "{\"hints\":[{\"t\":0.0,\"title\":\"One \\\"1\\\"\"},61.123456789]}");
    EXPECT_EQ(options_with_titles("{\"hints\":[1]}", {"A", ""}),
              "{\"hints\":[1],\"titles\":[\"A\",null]}");
}

} // namespace
