// SPDX-License-Identifier: GPL-3.0-or-later
#include "id3.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes &operator+=(Bytes &to, const Bytes &more)
{
    to.insert(to.end(), more.begin(), more.end());
    return to;
}

Bytes &operator+=(Bytes &to, std::string_view text)
{
    to.insert(to.end(), text.begin(), text.end());
    return to;
}

// Stands for MPEG audio; holds neither "ID3" nor "TAG".
Bytes audio(std::size_t n)
{
    return Bytes(n, 0xAA);
}

Bytes v1_tag(std::string_view title, std::string_view artist = "", std::string_view album = "",
             unsigned char track = 0)
{
    Bytes tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, title.data(), title.size());
    std::memcpy(tag.data() + 33, artist.data(), artist.size());
    std::memcpy(tag.data() + 63, album.data(), album.size());
    std::memcpy(tag.data() + 93, "1999", 4); // year: must not leak into any field
    std::memcpy(tag.data() + 97, "comment", 7);
    tag[126] = track;
    tag[127] = 17; // genre
    return tag;
}

// Header of an ID3 version 2 tag; the size field is deliberately bogus since
// the reader must not depend on it.
Bytes v2_header(unsigned char major)
{
    return {'I', 'D', '3', major, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
}

Bytes frame(std::string_view id, std::string_view text, unsigned char encoding = 0)
{
    const std::size_t size = text.size() + 1;
    Bytes f(id.begin(), id.end());
    f += Bytes{static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 8),
               static_cast<unsigned char>(size), encoding};
    f += text;
    return f;
}

// Exactly sized, so a sanitizer build flags any read past the block.
int parse_block(id3_info &info, const Bytes &block)
{
    const auto copy = std::make_unique<unsigned char[]>(block.size());
    std::memcpy(copy.get(), block.data(), block.size());
    return id3_parse_block(&info, copy.get(), block.size());
}

bool all_zero(const id3_info &info)
{
    static constexpr id3_info zero{};
    return std::memcmp(&info, &zero, sizeof info) == 0;
}

class Id3File : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "id3_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string &name, const Bytes &content)
    {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
        return path.string();
    }

    std::filesystem::path dir_;
};

TEST_F(Id3File, MissingAndEmptyFilesFailAndLeaveTheRecordUntouched)
{
    id3_info info;
    std::memset(&info, 0x5A, sizeof info);
    const id3_info before = info;

    EXPECT_EQ(id3_parse_file((dir_ / "missing.mp3").c_str(), &info), -1);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);

    EXPECT_EQ(id3_parse_file(write("empty.mp3", {}).c_str(), &info), -1);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

TEST_F(Id3File, Version1TagAtTheEndOfShortAndLongFiles)
{
    for (const std::size_t audio_bytes : {300, 5000}) {
        SCOPED_TRACE(audio_bytes);
        Bytes tagged = audio(audio_bytes);
        tagged += v1_tag("Title", "Artist", "Album", 3);
        id3_info info{};
        ASSERT_EQ(id3_parse_file(write("tagged.mp3", tagged).c_str(), &info), 0);
        EXPECT_STREQ(info.title, "Title");
        EXPECT_STREQ(info.artist, "Artist");
        EXPECT_STREQ(info.album, "Album");
        EXPECT_STREQ(info.track, "3");
        EXPECT_STREQ(info.encoded_by, "");

        id3_info none{};
        EXPECT_EQ(id3_parse_file(write("plain.mp3", audio(audio_bytes)).c_str(), &none), -1);
        EXPECT_TRUE(all_zero(none));

        // One byte short of a whole tag at the end of the file.
        Bytes cut = audio(audio_bytes);
        cut += v1_tag("Title");
        cut.pop_back();
        id3_info partial{};
        EXPECT_EQ(id3_parse_file(write("cut.mp3", cut).c_str(), &partial), -1);
        EXPECT_TRUE(all_zero(partial));
    }
}

TEST_F(Id3File, Version23And24HeadersAreNotReadButTheEndTagIs)
{
    for (const unsigned char major : {3, 4}) {
        SCOPED_TRACE(major);
        // Version 2.2 frames and a whole version 1 tag inside the unreadable
        // tag must not be taken: the first magic of a block decides.
        Bytes content = v2_header(major);
        content += frame("TT2", "Wrong");
        content += audio(50);
        content += v1_tag("Inside");
        content += audio(3000);
        id3_info info{};
        EXPECT_EQ(id3_parse_file(write("plain.mp3", content).c_str(), &info), -1);
        EXPECT_TRUE(all_zero(info));

        content += v1_tag("End", "Band");
        ASSERT_EQ(id3_parse_file(write("tagged.mp3", content).c_str(), &info), 0);
        EXPECT_STREQ(info.title, "End");
        EXPECT_STREQ(info.artist, "Band");
    }
}

TEST_F(Id3File, TagInsideTheAudioOfTheFirstBlockWins)
{
    // Near misses just before the magic must not hide it.
    Bytes content = audio(198);
    content += "IT";
    content += v1_tag("Stray");
    content += audio(4000);
    content += v1_tag("Real");
    id3_info info{};
    ASSERT_EQ(id3_parse_file(write("song.mp3", content).c_str(), &info), 0);
    EXPECT_STREQ(info.title, "Stray");

    // A header 13 bytes before the end of the first block is too short to
    // be a tag, so the end of the file is tried; 14 bytes make an (empty)
    // tag that ends the search.
    for (const auto &[room, title] : {std::pair{13, "Real"}, std::pair{14, ""}}) {
        SCOPED_TRACE(room);
        Bytes late = audio(1024 - room - 1);
        late += "I";
        late += v2_header(2);
        late += audio(4000);
        late += v1_tag("Real");
        id3_info end{};
        ASSERT_EQ(id3_parse_file(write("late.mp3", late).c_str(), &end), 0);
        EXPECT_STREQ(end.title, title);
    }
}

TEST_F(Id3File, FrameEndingOnTheLastByteOfTheBlockIsNotRead)
{
    // Frames: TP1 of 16 bytes at 10, TT2 from 26 sized so that it ends on
    // byte 1023 of the first block (or on 1022, leaving one byte after it).
    for (const bool ends_on_last_byte : {true, false}) {
        SCOPED_TRACE(ends_on_last_byte);
        Bytes content = v2_header(2);
        content += frame("TP1", "Performer");
        const std::size_t text = 1024 - content.size() - 7 - (ends_on_last_byte ? 0 : 1);
        content += frame("TT2", std::string(text, 'x'));
        content += frame("TAL", "Album after the block");
        content += audio(3000);
        id3_info info{};
        ASSERT_EQ(id3_parse_file(write("song.mp3", content).c_str(), &info), 0);
        EXPECT_STREQ(info.artist, "Performer");
        EXPECT_EQ(std::string(info.title), ends_on_last_byte ? "" : std::string(63, 'x'));
        EXPECT_STREQ(info.album, "");
    }
}

TEST(Id3Version22, FramesLandInTheirFieldsAndTheSizeGivesTheNextFrame)
{
    Bytes tag = v2_header(2);
    // Size bytes 00 00 0B: encoding byte and ten text bytes, so the next
    // frame starts 17 bytes after this one.
    tag += Bytes{'T', 'T', '2', 0x00, 0x00, 0x0B, 0x00};
    tag += "0123456789";
    tag += frame("TP1", "Artist");
    tag += frame("TXX", "skipped");
    tag += frame("TAL", "Album");
    tag += frame("TEN", "Encoder");
    tag += frame("TRK", "5/12");
    tag += audio(1);
    id3_info info{};
    ASSERT_EQ(parse_block(info, tag), 0);
    EXPECT_STREQ(info.title, "0123456789");
    EXPECT_STREQ(info.artist, "Artist");
    EXPECT_STREQ(info.album, "Album");
    EXPECT_STREQ(info.encoded_by, "Encoder");
    EXPECT_STREQ(info.track, "5/12");
}

TEST(Id3Version22, LongTextsAreCutToTheField)
{
    Bytes tag = v2_header(2);
    tag += frame("TT2", std::string(100, 't'));
    tag += frame("TRK", std::string(40, '7'));
    tag += frame("TP1", "Next");
    tag += audio(1);
    id3_info info{};
    ASSERT_EQ(parse_block(info, tag), 0);
    EXPECT_EQ(std::string(info.title), std::string(63, 't'));
    EXPECT_EQ(std::string(info.track), std::string(15, '7'));
    EXPECT_STREQ(info.artist, "Next");
}

TEST(Id3Version22, OnlyLatin1TextIsTakenAndTheLastFrameOfAKindWins)
{
    Bytes tag = v2_header(2);
    tag += frame("TT2", "First");
    tag += frame("TT2", "\xFF\xFEW\0", 1);
    tag += frame("TP1", "Old");
    tag += frame("TP1", "New");
    tag += frame("TAL", "\xFF\xFEW\0", 1);
    tag += audio(1);
    id3_info info{};
    ASSERT_EQ(parse_block(info, tag), 0);
    EXPECT_STREQ(info.title, "First");
    EXPECT_STREQ(info.artist, "New");
    EXPECT_STREQ(info.album, "");
}

TEST(Id3Version22, WalkStopsAtPaddingAndWritesOnlySuppliedFields)
{
    Bytes tag = v2_header(2);
    tag += frame("TP1", "Artist");
    tag += Bytes(6, 0);
    tag += frame("TT2", "After padding");
    tag += audio(1);
    id3_info info;
    std::memset(&info, 0x5A, sizeof info);
    const id3_info before = info;
    ASSERT_EQ(parse_block(info, tag), 0);
    EXPECT_STREQ(info.artist, "Artist");
    EXPECT_EQ(std::memcmp(info.album, before.album, sizeof info - offsetof(id3_info, album)), 0);

    // A tag without any of the five frames is still a tag.
    Bytes empty = v2_header(2);
    empty += frame("TYE", "2001");
    empty += audio(1);
    id3_info none{};
    EXPECT_EQ(parse_block(none, empty), 0);
    EXPECT_TRUE(all_zero(none));
}

struct TrimCase {
    std::string_view stored;
    std::string_view read;
};

TEST(Id3Version1, FieldEndsAtTheFirstPairOfNonGraphicBytes)
{
    const TrimCase cases[] = {
        {"Two words   ", "Two words"},
        {"Two  words", "Two"},
        {"Beyonc\xC3\xA9 Live", "Beyonc\xC3\xA9 Live"}, // UTF-8
        {"\xC9t\xE9\xE9 \xE0 Caf\xE9", "\xC9t\xE9\xE9 \xE0 Caf\xE9"}, // Latin-1
        {"Tab\t\nthen", "Tab"},
        {"Del\x7F\x7Fthen", "Del"},
        {"    ", ""},
        {"A title thirty bytes long 1234", "A title thirty bytes long 1234"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        id3_info info{};
        const Bytes tag = v1_tag(c.stored, c.stored, c.stored);
        ASSERT_EQ(parse_block(info, tag), 0);
        EXPECT_EQ(std::string_view(info.title), c.read);
        EXPECT_EQ(std::string_view(info.artist), c.read);
        EXPECT_EQ(std::string_view(info.album), c.read);
    }
}

TEST(Id3Version1, TrackByteFrom1To29IsWrittenInDecimal)
{
    const std::pair<unsigned char, std::string_view> cases[] = {
        {0, ""}, {1, "1"}, {7, "7"}, {29, "29"}, {30, ""}, {200, ""},
    };
    for (const auto &[byte, text] : cases) {
        SCOPED_TRACE(int{byte});
        id3_info info{};
        ASSERT_EQ(parse_block(info, v1_tag("T", "A", "B", byte)), 0);
        EXPECT_EQ(std::string_view(info.track), text);
    }
}

} // namespace
