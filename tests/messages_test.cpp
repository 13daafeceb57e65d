// The console texts are stored as Shift_JIS byte strings. Each is checked here against its
// readable form, converted by iconv, so that a wrong byte in a hand-written escape shows up.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "support/expected_output.hpp"
#include "support/run_tool.hpp"

namespace {

namespace msg = fat12img::msg;

struct Message {
    const char* name;
    const char* bytes;
    const char* utf8;
};

#define MESSAGE(constant, text)        \
    Message {                          \
#constant, msg::constant, text \
    }

const Message kMessages[] = {
    MESSAGE(kMsgBinaryModeNow, u8"FATを読み込めません。バイナリモードです。"),
    MESSAGE(kMsgImageModeNow, u8"FATを読み込みました。イメージ操作モードです。"),
    MESSAGE(kFmtMountFailed, u8"%s の読み込みに失敗\n"),
    MESSAGE(kMsgBinaryModeRefused, u8"バイナリモードでは実行できないコマンドです。"),
    MESSAGE(kMsgInvalidCommand, u8"無効なコマンドです。"),
    MESSAGE(kMsgBadBase, u8"baseの値が不正です"),
    MESSAGE(kMsgBadLba, u8"lbaの値が不正です"),
    MESSAGE(kMsgBadNum, u8"numの値が不正です"),
    MESSAGE(kMsgCannotGetDirectory, u8"ディレクトリが取得できません"),
    MESSAGE(kMsgDirectoryDoesNotExist, u8"ディレクトリが存在しません"),
    MESSAGE(kMsgDirectoryNotFound, u8"ディレクトリが見つかりません"),
    MESSAGE(kMsgNameExists, u8"すでに存在する名前です"),
    MESSAGE(kMsgCannotCreateDirectory, u8"ディレクトリを作成できません"),
    MESSAGE(kMsgCannotGetNewDirectoryInfo, u8"ディレクトリの情報を取得できません"),
    MESSAGE(kMsgIsCurrentDirectory, u8"カレントディレクトリです。"),
    MESSAGE(kMsgIsRootDirectory, u8"ルートディレクトリです"),
    MESSAGE(kMsgCannotGetParentInfo, u8"ディレクトリ情報を取得できません"),
    MESSAGE(kMsgRemoveDirectoryFailed, u8"ディレクトリの削除に失敗しました"),
    MESSAGE(kMsgCannotCreateFile, u8"ファイルを作成できません"),
    MESSAGE(kMsgNameDoesNotExist, u8"存在しない名前です"),
    MESSAGE(kMsgRemoveFileFailed, u8"ファイルの削除に失敗しました"),
    MESSAGE(kMsgIsDirectory, u8"ディレクトリです"),
    MESSAGE(kMsgNotAFile, u8"ファイルではありません"),
    MESSAGE(kMsgDestinationExists, u8"コピー先のファイルは既に存在します"),
    MESSAGE(kMsgCannotOpenFile, u8"ファイルを開けません"),
    MESSAGE(kMsgSourceNotFound, u8"コピー元のファイルが見つかりません"),
    MESSAGE(kMsgOutOfMemory, u8"メモリが確保できません"),
    MESSAGE(kMsgReadFailed, u8"読み込みに失敗しました"),
    MESSAGE(kMsgImageBusy, u8"イメージファイルは他のプロセスが使用中です。終了を待っています。"),
    MESSAGE(kMsgCannotOpenDestination, u8"コピー先のファイルを開けません"),
    MESSAGE(kMsgWriteFailed, u8"書き込みに失敗しました"),
    MESSAGE(kMsgCannotOpenHostFile, u8"ファイルを開けませんでした"),
    MESSAGE(kFmtTransferTooLarge, u8"%dMBより大きいディスクイメージの操作に対応していません\n"),
    MESSAGE(kMsgCannotOpenImage, u8"イメージファイルを開けませんでした"),
    MESSAGE(kMsgHostSeekFailed, u8"ファイルの読み込み位置移動に失敗しました"),
    MESSAGE(kMsgImageSeekFailed, u8"イメージファイルの書き込み位置移動に失敗しました"),
    MESSAGE(kMsgHostWriteSeekFailed, u8"ファイルの書き出し位置移動に失敗しました"),
    MESSAGE(kMsgImageReadOnly, u8"イメージファイルは読み取り専用です"),
    MESSAGE(kMsgLockUnavailable, u8"イメージファイルをロックできません。ロックせずに続けます。"),
    MESSAGE(kMsgTooFewArguments, u8"引数が足りません"),
    MESSAGE(kMsgBadParameter, u8"パラメータが不正です: "),
    MESSAGE(kMsgUnknownOption, u8"不明なオプションです: "),
    MESSAGE(kMsgNotAShortName, u8"8.3形式の名前ではありません"),
    MESSAGE(kMsgNamesCollide, u8"名前が重複します"),
    MESSAGE(kMsgNotARegularFile, u8"通常のファイルではありません"),
    MESSAGE(kMsgDanglingLink, u8"リンク先が存在しません"),
    MESSAGE(kMsgLinkLoop, u8"リンクが循環しています"),
    MESSAGE(kMsgNameNotForHost, u8"ホストで使えない名前です"),
    MESSAGE(kMsgBootNeedsVolume, u8"バイナリモードでは boot は使えません。write を使ってください"),
    MESSAGE(kMsgBootTooShort, u8"ブートセクタが512バイトに足りません"),
    MESSAGE(kMsgBootNoSignature, u8"ブートセクタの末尾に 55 AA がありません"),
    MESSAGE(kMsgBootNoJump, u8"ブートセクタの先頭がジャンプ命令 (EB または E9) ではありません"),
    MESSAGE(kMsgBootTooLong, u8"ブートコードが予約セクタに収まりません"),
};

#undef MESSAGE

// Both Shift_JIS variants must give the same bytes for every text.
std::string convert(const std::string& utf8, const char* encoding) {
    try {
        return testimg::encodeUtf8As(utf8, encoding);
    } catch (const std::exception& e) {
        ADD_FAILURE() << encoding << " cannot hold " << utf8 << ": " << e.what();
        return {};
    }
}

std::string hex(const std::string& bytes) {
    std::ostringstream out;
    for (unsigned char c : bytes) {
        out << std::hex << (c < 16 ? "0" : "") << int(c) << ' ';
    }
    return out.str();
}

TEST(Messages, EveryConstantIsTheShiftJisFormOfItsText) {
    for (const Message& m : kMessages) {
        const std::string expected = testimg::sjis(m.utf8);
        EXPECT_EQ(hex(m.bytes), hex(expected)) << m.name;
    }
}

TEST(Messages, Cp932AndShiftJisAgreeOnEveryText) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has one Shift_JIS, code page 932, under both names";
#endif
    for (const Message& m : kMessages) {
        EXPECT_EQ(hex(convert(m.utf8, "CP932")), hex(convert(m.utf8, "SHIFT_JIS"))) << m.name;
    }
    for (const char* line : testimg::kUsageUtf8) {
        EXPECT_EQ(hex(convert(line, "CP932")), hex(convert(line, "SHIFT_JIS"))) << line;
    }
}

// A constant added to the header without a row here would go unchecked.
TEST(Messages, TableCoversEveryConstantOfTheHeader) {
    std::ifstream in(std::string(FAT12IMG_SOURCE_DIR) + "/src/console/messages.hpp");
    ASSERT_TRUE(in) << "messages.hpp not found";
    const std::string source((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    const std::string marker = "inline constexpr char ";
    std::set<std::string> declared;
    for (size_t at = source.find(marker); at != std::string::npos;
         at = source.find(marker, at + 1)) {
        const size_t name = at + marker.size();
        declared.insert(source.substr(name, source.find('[', name) - name));
    }
    std::set<std::string> tabled;
    for (const Message& m : kMessages) {
        EXPECT_TRUE(tabled.insert(m.name).second) << "twice in the table: " << m.name;
    }
    EXPECT_EQ(declared, tabled);
    EXPECT_EQ(declared.size(), 53u);
}

// Which texts are failures is one list beside the messages, and the texts that are none
// another: a new message must go into one of them, or -e would not see it fail.
TEST(Messages, EveryConstantIsAFailureOrListedAsNone) {
    for (const Message& m : kMessages) {
        EXPECT_TRUE(fat12img::isClassified(m.bytes)) << m.name;
    }
}

TEST(Messages, OnlyTheTwoFormatsCarryALineEndOrAConversion) {
    for (const Message& m : kMessages) {
        const std::string bytes = m.bytes;
        const bool isFormat = std::string(m.name).rfind("kFmt", 0) == 0;
        EXPECT_EQ(bytes.find('%') != std::string::npos, isFormat) << m.name;
        EXPECT_EQ(!bytes.empty() && bytes.back() == '\n', isFormat) << m.name;
        EXPECT_EQ(bytes.find('\n'), isFormat ? bytes.size() - 1 : std::string::npos) << m.name;
    }
}

TEST(Usage, TwentyOneLinesInOrder) {
    ASSERT_EQ(std::size(msg::kUsageLines), std::size(testimg::kUsageUtf8));
    ASSERT_EQ(std::size(msg::kUsageLines), 21u);
    for (size_t i = 0; i < std::size(testimg::kUsageUtf8); ++i) {
        EXPECT_EQ(hex(msg::kUsageLines[i]), hex(testimg::sjis(testimg::kUsageUtf8[i])))
            << "usage line " << i + 1;
    }
    ASSERT_EQ(std::size(msg::kUsageMoreLines), std::size(testimg::kUsageMoreUtf8));
    for (size_t i = 0; i < std::size(testimg::kUsageMoreUtf8); ++i) {
        EXPECT_EQ(hex(msg::kUsageMoreLines[i]), hex(testimg::sjis(testimg::kUsageMoreUtf8[i])))
            << "usage line " << 22 + i;
    }
}

TEST(Usage, BlanksAreWhereTheLayoutPutsThem) {
    const std::string line2 = msg::kUsageLines[1];
    const std::string mode = testimg::sjis(u8"モード");
    const size_t afterMode = line2.find(mode) + mode.size();
    EXPECT_EQ(line2.substr(afterMode, 4), "   :");
    const std::string line3 = msg::kUsageLines[2];
    EXPECT_EQ(line3.substr(line3.find(mode) + mode.size(), 2), " :");

    for (size_t i = 0; i < std::size(msg::kUsageLines); ++i) {
        const std::string line = msg::kUsageLines[i];
        const size_t number = i + 1;
        size_t leading = line.find_first_not_of(' ');
        if (leading == std::string::npos) {
            leading = line.size();
        }
        size_t expected = 0;
        if (number == 19 || number == 21) {
            expected = 6;
        } else if ((number >= 5 && number <= 16) || number == 18 || number == 20) {
            expected = 2;
        }
        EXPECT_EQ(leading, expected) << "usage line " << number;
        EXPECT_TRUE(line.empty() || line.back() != ' ') << "trailing blank on line " << number;
        EXPECT_EQ(line.find_first_of("\r\n\t"), std::string::npos) << "line " << number;
    }
    EXPECT_STREQ(msg::kUsageLines[0], "");
}

}  // namespace
