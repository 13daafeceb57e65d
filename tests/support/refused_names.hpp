#pragma once

#include <vector>

// Names that no new entry may take, and what each command that creates an entry says to
// them. Paths lead through a root that holds the directory SUB, which holds INNER; both
// have their dot entries.
namespace testimg {

struct RefusedName {
    const char* name;
    // The messages, as readable text: of mkdir, of touch, and of cp from the host or from
    // the image.
    const char* mkdir;
    const char* touch;
    const char* cp;
    // A bare name that the directory layer itself refuses to create.
    bool refusedByDirectory;
};

inline const std::vector<RefusedName>& refusedNames() {
    static const char* const kCannotCreateDirectory = u8"ディレクトリを作成できません";
    static const char* const kCannotCreateFile = u8"ファイルを作成できません";
    static const char* const kNameExists = u8"すでに存在する名前です";
    static const char* const kDestinationExists = u8"コピー先のファイルは既に存在します";
    static const std::vector<RefusedName> names = {
        // The field would begin with a dot or a blank, or be all blanks.
        {".", kCannotCreateDirectory, kCannotCreateFile, kCannotCreateFile, true},
        {"..", kCannotCreateDirectory, kCannotCreateFile, kCannotCreateFile, true},
        {"...", kCannotCreateDirectory, kCannotCreateFile, kCannotCreateFile, true},
        {".abc", kCannotCreateDirectory, kCannotCreateFile, kCannotCreateFile, true},
        {"..x", kCannotCreateDirectory, kCannotCreateFile, kCannotCreateFile, true},
        {" x", kCannotCreateDirectory, kCannotCreateFile, kCannotCreateFile, true},
        {" lead", kCannotCreateDirectory, kCannotCreateFile, kCannotCreateFile, true},
        // mkdir walks no component and finds the current directory there already.
        {"", kNameExists, kCannotCreateFile, kCannotCreateFile, true},
        // mkdir walks to a directory that is there already; for touch and cp the final
        // name is empty or ".".
        {"\\", kNameExists, kCannotCreateFile, kCannotCreateFile, false},
        {"sub\\", kNameExists, kCannotCreateFile, kCannotCreateFile, false},
        {"sub\\.", kNameExists, kCannotCreateFile, kCannotCreateFile, false},
        // ".." and "..." find the stored "." and ".." entries.
        {"sub\\..", kNameExists, kNameExists, kDestinationExists, false},
        {"sub\\...", kNameExists, kNameExists, kDestinationExists, false},
        {"sub\\inner\\...", kNameExists, kNameExists, kDestinationExists, false},
    };
    return names;
}

}  // namespace testimg
