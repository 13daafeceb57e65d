#include "support/expected_output.hpp"

#include "support/run_tool.hpp"

namespace testimg {

const char* const kUsageUtf8[21] = {
    u8"",
    u8"コマンドライン モード   : cmd [disk.img] [command] [param] ...",
    u8"インタラクティブ モード : cmd [disk.img]",
    u8"info:",
    u8"  help : このメッセージです.",
    u8"  format : disk.img をフォーマットします.",
    u8"  write [img-name] lba=[lba] num=[num] base=[img-base] ch=[ch]",
    u8"  read [img-name] lba=[lba] num=[num] base=[img-base]",
    u8"  ls [dir-name]",
    u8"  cd [dir-name]",
    u8"  mkdir [dir-name]",
    u8"  rmdir [dir-name]",
    u8"  touch [file-name]",
    u8"  rm [file-name]",
    u8"  mv [file-name] [new-name]",
    u8"  cp [<'>src-file] [<'>dst-file] : <'> で実際のファイルを指定.",
    u8"example:",
    u8"  cmd fd.img cp 'hello.txt hello.txt",
    u8"      : この例は hello.txt を fd.img に書き込みます.",
    u8"  cmd fd.img write bootsect.bin",
    u8"      : この例は bootsect.bin を fd.img の MBR に書き込みます.",
};

const char* const kUsageMoreUtf8[3] = {
    u8"  format size=[KB] label=[label] serial=[hex]",
    u8"      : KB は 160 180 320 360 640 720 1200 1232 1440 2880 (既定は 1440).",
    u8"  boot [boot-file] : ブートセクタのコードを書き込みます (BPB はそのまま).",
};

std::string consoleLine(const std::string& utf8) {
    return sjis(utf8) + "\n";
}

std::string usageOutput() {
    std::string text;
    for (const char* line : kUsageUtf8) {
        text += consoleLine(line);
    }
    for (const char* line : kUsageMoreUtf8) {
        text += consoleLine(line);
    }
    return text;
}

std::string listing(const std::vector<std::string>& names) {
    std::string out;
    int column = 0;
    for (const std::string& name : names) {
        out += name + std::string(13 - name.size(), ' ');
        if (++column == 6) {
            out += "\n";
            column = 0;
        }
    }
    return column == 0 ? out : out + "\n";
}

}  // namespace testimg
