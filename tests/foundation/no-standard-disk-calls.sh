#!/bin/sh
# Fails when code outside src/foundation touches the disk through std::filesystem: MinGW's library
# answers those through msvcrt's stat family, which refuses long (\\?\) paths on Windows. Composing
# paths (std::filesystem::path and its members) stays allowed.
set -u
source_dir=${1:?source folder}
names='exists|status|symlink_status|is_directory|is_regular_file|is_symlink|is_empty|file_size|create_directory|create_directories|create_symlink|create_directory_symlink|create_hard_link|remove|remove_all|rename|copy|copy_file|copy_symlink|equivalent|canonical|weakly_canonical|absolute|directory_iterator|recursive_directory_iterator|last_write_time|space|resize_file|permissions|read_symlink|hard_link_count|current_path|temp_directory_path'
found=$(grep -rnE "(std::filesystem|fs)::($names)\b" "$source_dir/src" --include='*.cpp' --include='*.hpp' |
        grep -v "^$source_dir/src/foundation/" |
        grep -vE "filesystem_error\(\"($names)\"")
if [ -n "$found" ]; then
    echo "std::filesystem touches the disk outside foundation; use the foundation wrappers:"
    echo "$found"
    exit 1
fi
echo "no disk-touching std::filesystem call outside foundation"
