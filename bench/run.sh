#!/usr/bin/env bash
# Compares fat12img with mtools and dd on the same work, one workload at a time: wall time
# (hyperfine, ratio of medians), system calls, minor page faults, bytes written to the image,
# and fat12img's peak memory. A third column times the floor: a static program that only
# opens the image and reads its boot sector, what any tool pays before it does any work.
# Prints a markdown table on stdout; progress goes to stderr.
#
# Every workload is checked once before it is timed (fat12img's output, the resulting image
# or host file read back through the other tool), so a command that silently fails cannot
# look fast. See bench/README.md.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/run.sh [options]
  --quick           3 runs and 1 warm-up per side, 1 page-fault sample (keeps the script working in CI)
  --runs N          timed runs per side (default 30)
  --warmup N        warm-up runs per side (default 3)
  --binary PATH     use this fat12img instead of building build-bench/fat12img in Release
  --only LIST       comma-separated workload names to run (default: all; see --list)
  --list            print the workload names and exit
  --workdir DIR     where images and host files go (default build-bench/work, emptied first)
  --keep            keep the work directory (hyperfine logs, strace output) afterwards
  -h, --help        this text
EOF
}

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
runs=30
warmup=3
fault_samples=3
binary=""
only=""
workdir="$repo/build-bench/work"
keep=0

all_workloads=(format format_new cp_in cp_out session_200 cp_tree_in cp_tree_out ls_200 rmdir_200 rmdir_tree raw_write raw_read cp_in_sync session_200_sync cp_tree_in_sync)

while (($#)); do
    case "$1" in
    --quick) runs=3 warmup=1 fault_samples=1 ;;
    --runs) runs=$2; shift ;;
    --warmup) warmup=$2; shift ;;
    --binary) binary=$2; shift ;;
    --only) only=$2; shift ;;
    --workdir) workdir=$2; shift ;;
    --keep) keep=1 ;;
    --list) printf '%s\n' "${all_workloads[@]}"; exit 0 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done

log() { printf '%s\n' "$*" >&2; }
die() { printf 'bench: %s\n' "$*" >&2; exit 1; }

missing=()
for tool in hyperfine strace mformat mcopy mdir mdeltree mmd mkfs.fat dd cmp cmake cc; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
[[ -x /usr/bin/time ]] || missing+=(/usr/bin/time)
((${#missing[@]} == 0)) ||
    die "missing ${missing[*]}; install with: apt-get install hyperfine strace mtools dosfstools time cmake gcc g++"

if [[ -z "$binary" ]]; then
    log "== building fat12img (Release) in build-bench"
    cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >&2
    cmake --build "$repo/build-bench" -j2 --target fat12img >&2
    binary="$repo/build-bench/fat12img"
fi
[[ -x "$binary" ]] || die "not an executable: $binary"
binary=$(cd "$(dirname "$binary")" && pwd -P)/$(basename "$binary")

# mtools must not stop at geometry it finds unusual, nor read a user's configuration.
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null

rm -rf "$workdir"
mkdir -p "$workdir"
workdir=$(cd "$workdir" && pwd -P)
cd "$workdir"
if ((keep == 0)); then trap 'cd / && rm -rf "$workdir"' EXIT; fi

B=$(printf '%q' "$binary")

# The floor: opens the image and reads its boot sector, nothing else; static, as fat12img is.
# An image that is empty or missing (format's workloads) is no failure of the floor.
cat >floor.c <<'EOF_FLOOR'
#include <fcntl.h>
#include <unistd.h>
int main(int argc, char** argv) {
    unsigned char sector[512];
    int fd = argc > 1 ? open(argv[1], O_RDONLY) : -1;
    return fd >= 0 && read(fd, sector, sizeof sector) < 0;
}
EOF_FLOOR
cc -O2 -static -o floor floor.c 2>/dev/null || cc -O2 -o floor floor.c
F=$(printf '%q' "$workdir/floor")

# ---------------------------------------------------------------- fixtures (built with mtools)
log "== fixtures in $workdir"
mformat -f 1440 -C -i fresh.img ::
head -c 1400000 /dev/urandom >big.bin
cp fresh.img withbig.img
mcopy -i withbig.img big.bin ::/BIG.BIN
mkdir files
session_lines=()
file_list=()
for i in $(seq 1 200); do
    head -c 3000 /dev/urandom >"files/F$i"
    session_lines+=("cp 'files/F$i F$i")
    file_list+=("files/F$i")
done
printf '%s\n' "${session_lines[@]}" >session.txt
cp fresh.img dir200.img
mmd -i dir200.img ::/DIR
mcopy -i dir200.img "${file_list[@]}" ::/DIR/
mkfs.fat -F 12 -C empty288.img 2880 >/dev/null
cp empty288.img tree288.img
mmd -i tree288.img ::/PARENT
for d in $(seq 1 20); do
    mmd -i tree288.img "::/PARENT/D$d"
    mcopy -i tree288.img "${file_list[@]:0:40}" "::/PARENT/D$d/"
done
# The same 200 files as a tree of 5 directories of 40, for the tree copies.
for d in $(seq 1 5); do
    mkdir -p "tree/D$d"
    cp "${file_list[@]:$(((d - 1) * 40)):40}" "tree/D$d/"
done
tree_tables=6 # the top and its 5 directories
cp fresh.img treein.img
mcopy -s -i treein.img tree ::/TREE
cp dir200.img raw.bin # a whole 1.44 MB floppy that stays mountable after the raw write
"$binary" fresh.img help >usage.txt
free_of() { mdir -i "$1" ::/ | awk '/bytes free/ { gsub(/[^0-9]/, ""); print }'; }
fresh_free=$(free_of fresh.img)
empty288_free=$(free_of empty288.img)

# ---------------------------------------------------------------- workloads
# Each workload defines: prepare (shell text run before every run), the command of each side
# (bash text; may redirect stdin), the peer's name, the image whose writes are counted, and a
# check of each side's result (stdout of the command in out.txt).
declare -A prepare fat_cmd peer_cmd peer_name image note

prepare[format]=': > t.img'
fat_cmd[format]="$B t.img format"
peer_cmd[format]='mformat -f 1440 -C -i t.img ::'
peer_name[format]='mformat -f 1440 -C'
note[format]='empty file to 1.44 MB floppy'

prepare[format_new]='rm -f t.img'
fat_cmd[format_new]="$B t.img format size=720 label=BENCH"
peer_cmd[format_new]='mformat -f 720 -v BENCH -N 0 -C -i t.img ::'
peer_name[format_new]='mformat -f 720 -v -C'
note[format_new]='missing image to labelled 720 KB floppy'

prepare[cp_in]='cp fresh.img t.img'
fat_cmd[cp_in]="$B t.img cp \"'big.bin\" BIG.BIN"
peer_cmd[cp_in]='mcopy -i t.img big.bin ::/BIG.BIN'
peer_name[cp_in]='mcopy'
note[cp_in]='1,400,000 bytes host to fresh image'

prepare[cp_out]='cp withbig.img t.img && rm -f out.bin'
fat_cmd[cp_out]="$B t.img cp BIG.BIN \"'out.bin\""
peer_cmd[cp_out]='mcopy -i t.img ::/BIG.BIN out.bin'
peer_name[cp_out]='mcopy'
note[cp_out]='1,400,000 bytes image to host'

prepare[session_200]='cp fresh.img t.img'
fat_cmd[session_200]="$B t.img < session.txt"
peer_cmd[session_200]="mcopy -i t.img ${file_list[*]} ::/"
peer_name[session_200]='mcopy (200 files)'
note[session_200]='200 x 3,000 bytes into the root, one session'

prepare[cp_tree_in]='cp fresh.img t.img'
fat_cmd[cp_tree_in]="$B t.img cp -r \"'tree\" TREE"
peer_cmd[cp_tree_in]='mcopy -s -i t.img tree ::/TREE'
peer_name[cp_tree_in]='mcopy -s'
note[cp_tree_in]='200 x 3,000 bytes in 5 directories, host to fresh image'

prepare[cp_tree_out]='cp treein.img t.img && rm -rf outtree'
fat_cmd[cp_tree_out]="$B t.img cp -r TREE \"'outtree\""
peer_cmd[cp_tree_out]='mcopy -s -i t.img ::/TREE outtree'
peer_name[cp_tree_out]='mcopy -s'
note[cp_tree_out]='the same tree, image to host'

prepare[ls_200]='cp dir200.img t.img'
fat_cmd[ls_200]="$B t.img ls DIR"
peer_cmd[ls_200]='mdir -i t.img ::/DIR'
peer_name[ls_200]='mdir'
note[ls_200]='directory of 200 files'

prepare[rmdir_200]='cp dir200.img t.img'
fat_cmd[rmdir_200]="$B t.img rmdir DIR"
peer_cmd[rmdir_200]='mdeltree -i t.img ::/DIR'
peer_name[rmdir_200]='mdeltree'
note[rmdir_200]='directory of 200 files'

prepare[rmdir_tree]='cp tree288.img t.img'
fat_cmd[rmdir_tree]="$B t.img rmdir PARENT"
peer_cmd[rmdir_tree]='mdeltree -i t.img ::/PARENT'
peer_name[rmdir_tree]='mdeltree'
note[rmdir_tree]='2.88 MB image, 20 dirs x 40 files'

prepare[raw_write]='cp fresh.img t.img'
fat_cmd[raw_write]="$B t.img write raw.bin"
peer_cmd[raw_write]='dd if=raw.bin of=t.img bs=512 conv=notrunc status=none'
peer_name[raw_write]='dd bs=512 conv=notrunc'
note[raw_write]='1,474,560 bytes to sector 0'

prepare[raw_read]='cp dir200.img t.img && rm -f out.bin'
fat_cmd[raw_read]="$B t.img read out.bin num=2880"
peer_cmd[raw_read]='dd if=t.img of=out.bin bs=512 count=2880 status=none'
peer_name[raw_read]='dd bs=512 count=2880'
note[raw_read]='2,880 sectors to a host file'

# The same copies with --sync. The peer has no such option: it makes its copy and then
# waits once for the disk (sync -d, one fdatasync), which makes the result durable but not
# the order of its writes.
printf '%s\n' 'mcopy -i t.img big.bin ::/BIG.BIN && exec sync -d t.img' >peer_cp_in_sync.sh
printf '%s\n' "mcopy -i t.img ${file_list[*]} ::/ && exec sync -d t.img" >peer_session_sync.sh
printf '%s\n' 'mcopy -s -i t.img tree ::/TREE && exec sync -d t.img' >peer_cp_tree_in_sync.sh
for w in cp_in session_200 cp_tree_in; do
    prepare[${w}_sync]=${prepare[$w]}
    fat_cmd[${w}_sync]=${fat_cmd[$w]/#$B /$B --sync }
    peer_name[${w}_sync]="${peer_name[$w]} + sync -d"
    note[${w}_sync]="${note[$w]}, with --sync"
done
peer_cmd[cp_in_sync]='sh peer_cp_in_sync.sh'
peer_cmd[session_200_sync]='sh peer_session_sync.sh'
peer_cmd[cp_tree_in_sync]='sh peer_cp_tree_in_sync.sh'

fail() { die "check failed: $1 ($2): $3"; }
expect_silent() { [[ ! -s out.txt ]] || fail "$1" fat12img "printed $(head -c 200 out.txt | od -c | head -3)"; }
expect_fsck_clean() { fsck.fat -n t.img >fsck.txt 2>&1 || fail "$1" "$2" "fsck.fat: $(cat fsck.txt)"; }
count_listed() { tr -s ' \n' '\n\n' <out.txt | grep -c '^F[0-9]*$' || true; }

check() { # workload side
    local w=$1 side=$2
    case "$w" in
    format)
        [[ $side == peer ]] || expect_silent "$w"
        [[ $(stat -c %s t.img) == 1474560 ]] || fail "$w" "$side" "image is $(stat -c %s t.img) bytes"
        [[ $(free_of t.img) == "$fresh_free" ]] || fail "$w" "$side" "mdir sees $(free_of t.img) bytes free"
        if [[ $side == fat12img ]]; then
            [[ $(od -An -tx1 -j $((33 * 512)) -N 1 t.img) == " f8" ]] || fail "$w" "$side" "data area not filled"
        fi
        ;;
    format_new)
        [[ $side == peer ]] || expect_silent "$w"
        [[ $(stat -c %s t.img) == 737280 ]] || fail "$w" "$side" "image is $(stat -c %s t.img) bytes"
        expect_fsck_clean "$w" "$side"
        mdir -i t.img ::/ | grep -q 'Volume in drive : is BENCH' || fail "$w" "$side" "mdir sees no label BENCH"
        ;;
    cp_in | cp_in_sync)
        [[ $side == peer ]] || expect_silent "$w"
        expect_fsck_clean "$w" "$side"
        rm -f back.bin back2.bin
        mcopy -i t.img ::/BIG.BIN back.bin && cmp -s back.bin big.bin || fail "$w" "$side" "mcopy reads back other bytes"
        "$binary" t.img cp BIG.BIN "'back2.bin" >/dev/null
        cmp -s back2.bin big.bin || fail "$w" "$side" "fat12img reads back other bytes"
        ;;
    cp_out)
        [[ $side == peer ]] || expect_silent "$w"
        cmp -s out.bin big.bin || fail "$w" "$side" "host file differs"
        ;;
    session_200 | session_200_sync)
        if [[ $side == fat12img ]]; then
            { cat usage.txt; printf '>%.0s' $(seq 0 200); } >expected.txt
            cmp -s out.txt expected.txt || fail "$w" "$side" "output is not the usage text and 201 prompts: $(tail -c 300 out.txt | od -c | head -5)"
        fi
        expect_fsck_clean "$w" "$side"
        rm -rf back && mkdir back
        mcopy -i t.img '::/F*' back/
        [[ $(ls back | wc -l) == 200 ]] || fail "$w" "$side" "mcopy finds $(ls back | wc -l) files"
        for f in "${file_list[@]}"; do cmp -s "$f" "back/${f#files/}" || fail "$w" "$side" "$f differs"; done
        "$binary" t.img ls >out.txt
        [[ $(count_listed) == 200 ]] || fail "$w" "$side" "fat12img lists $(count_listed) files"
        ;;
    cp_tree_in | cp_tree_in_sync)
        [[ $side == peer ]] || expect_silent "$w"
        expect_fsck_clean "$w" "$side"
        rm -rf back && mcopy -s -i t.img ::/TREE back
        diff -r back tree >/dev/null || fail "$w" "$side" "mcopy -s reads back another tree"
        ;;
    cp_tree_out)
        [[ $side == peer ]] || expect_silent "$w"
        diff -r outtree tree >/dev/null || fail "$w" "$side" "host tree differs"
        ;;
    ls_200)
        if [[ $side == fat12img ]]; then
            [[ $(count_listed) == 200 ]] || fail "$w" "$side" "lists $(count_listed) names"
        else
            [[ $(grep -c '^F[0-9]* ' out.txt || true) == 200 ]] || fail "$w" "$side" "mdir lists $(grep -c '^F[0-9]* ' out.txt || true) files"
        fi
        ;;
    rmdir_200 | rmdir_tree)
        [[ $side == peer ]] || expect_silent "$w"
        expect_fsck_clean "$w" "$side"
        local want=$fresh_free
        [[ $w == rmdir_tree ]] && want=$empty288_free
        [[ $(mdir -i t.img ::/ | grep -c 'DIR\|PARENT' || true) == 0 ]] || fail "$w" "$side" "directory still listed"
        [[ $(free_of t.img) == "$want" ]] || fail "$w" "$side" "$(free_of t.img) bytes free, want $want"
        ;;
    raw_write)
        [[ $side == peer ]] || expect_silent "$w"
        cmp -s t.img raw.bin || fail "$w" "$side" "image differs from the host file"
        ;;
    raw_read)
        [[ $side == peer ]] || expect_silent "$w"
        cmp -s out.bin dir200.img || fail "$w" "$side" "host file differs from the image"
        ;;
    esac
}

# Runs one side once under a tool, after its prepare; the tool's words come first.
run_under() { # workload side tool-words...
    local w=$1 side=$2
    shift 2
    local cmd=${fat_cmd[$w]}
    [[ $side == peer ]] && cmd=${peer_cmd[$w]}
    [[ $side == floor ]] && cmd="$F t.img"
    bash -c "${prepare[$w]}"
    eval "$* $cmd" >out.txt 2>err.txt
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# Prints: calls faults max-rss-KiB image-bytes image-write-calls
probe() { # workload side
    local w=$1 side=$2 calls faults rss written
    run_under "$w" "$side" strace -f -c -o strace-c.txt
    calls=$(awk '$NF == "total" { print $4 }' strace-c.txt)
    run_under "$w" "$side" strace -f -y -s 0 -e trace=write,pwrite64,writev,pwritev,pwritev2,copy_file_range -o strace-w.txt
    # A copy between two files writes the image only when it is the third argument.
    written=$(awk -v img="<$workdir/t.img>" '{ target = $0 }
        /copy_file_range\(/ { split($0, args, ", "); target = args[3] }
        index(target, img) && match($0, /= [0-9]+$/) {
            n++; sum += substr($0, RSTART + 2) } END { print sum + 0, n + 0 }' strace-w.txt)
    : >time.txt
    for _ in $(seq "$fault_samples"); do
        run_under "$w" "$side" /usr/bin/time -a -o time.txt -f "'%R %M'"
    done
    faults=$(awk '{ print $1 }' time.txt | median)
    rss=$(awk '{ print $2 }' time.txt | median)
    echo "$calls $faults $rss $written"
}

selected=("${all_workloads[@]}")
if [[ -n "$only" ]]; then
    IFS=, read -ra selected <<<"$only"
    for w in "${selected[@]}"; do [[ -n "${prepare[$w]+x}" ]] || die "unknown workload: $w"; done
fi

fmt_ms() { awk -v s="$1" 'BEGIN { printf "%.2f", s * 1000 }'; }
group() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
rows=()
for w in "${selected[@]}"; do
    log "== $w: checking both sides"
    for side in fat12img peer; do
        run_under "$w" "$side"
        [[ ! -s err.txt || $side == peer ]] || fail "$w" "$side" "stderr: $(head -c 200 err.txt)"
        check "$w" "$side"
    done

    log "== $w: timing ($runs runs, $warmup warm-up per side)"
    hf_fat=${fat_cmd[$w]} hf_peer=${peer_cmd[$w]}
    if [[ $hf_fat == *'<'* ]]; then
        # hyperfine without a shell cannot redirect stdin: run both sides through sh alike.
        hf_fat="sh -c \"exec $hf_fat\"" hf_peer="sh -c \"exec $hf_peer\""
    fi
    hf_floor="$F t.img"
    [[ $hf_fat == sh\ -c* ]] && hf_floor="sh -c \"exec $F t.img\""
    hyperfine -N --style basic --runs "$runs" --warmup "$warmup" --prepare "sh -c \"${prepare[$w]}\"" \
        --export-csv "hf-$w-floor.csv" -n floor "$hf_floor" >"hf-$w-floor.log" 2>&1 ||
        die "hyperfine failed on $w (floor): $(tail -5 "hf-$w-floor.log")"
    floor_median=$(awk -F, 'NR == 2 { print $4 }' "hf-$w-floor.csv")
    declare -A median_of
    for side in fat12img peer; do
        hf_cmd=$hf_fat
        [[ $side == peer ]] && hf_cmd=$hf_peer
        # The output of the last timed run is checked like the first run was, so the timed
        # command is known to have done the same work.
        hyperfine -N --style basic --runs "$runs" --warmup "$warmup" --prepare "sh -c \"${prepare[$w]}\"" \
            --output "$workdir/hf-$w-$side.out" --export-csv "hf-$w-$side.csv" -n "$side" "$hf_cmd" \
            >"hf-$w-$side.log" 2>&1 || die "hyperfine failed on $w ($side): $(tail -5 "hf-$w-$side.log")"
        median_of[$side]=$(awk -F, 'NR == 2 { print $4 }' "hf-$w-$side.csv")
        cp "hf-$w-$side.out" out.txt
        check "$w" "$side"
    done
    fat_median=${median_of[fat12img]} peer_median=${median_of[peer]}

    log "== $w: counting calls, faults and writes"
    read -r f_calls f_faults f_rss f_bytes f_writes <<<"$(probe "$w" fat12img)"
    read -r p_calls p_faults p_rss p_bytes p_writes <<<"$(probe "$w" peer)"
    : >time.txt
    for _ in $(seq "$fault_samples"); do
        run_under "$w" floor /usr/bin/time -a -o time.txt -f "'%R %M'"
    done
    fl_faults=$(awk '{ print $1 }' time.txt | median)

    # A tree copy in writes each file's data, each new table and each FAT copy once, and
    # one entry.
    if [[ $w == cp_tree_in ]] && ((f_writes != ${#file_list[@]} + tree_tables + 2 + 1)); then
        die "cp -r in made $f_writes writes to the image"
    fi

    ratio=$(awk -v a="$fat_median" -v b="$peer_median" 'BEGIN { printf "%.2f", a / b }')
    floor_ratio=$(awk -v a="$fat_median" -v b="$floor_median" 'BEGIN { printf "%.2f", a / b }')
    rows+=("| $w | ${peer_name[$w]} | $(fmt_ms "$fat_median") | $(fmt_ms "$peer_median") | $(fmt_ms "$floor_median") | **$ratio** | $floor_ratio | $(group "$f_calls") / $(group "$p_calls") | $(group "$f_faults") / $(group "$p_faults") / $(group "$fl_faults") | $(group "$f_bytes") / $(group "$p_bytes") | $(group "$f_writes") / $(group "$p_writes") | $(group "$f_rss") / $(group "$p_rss") |")
done

echo "fat12img: \`$binary\`; $runs timed runs and $warmup warm-up per side; $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(free -g | awk '/^Mem:/ { print $2 }') GiB"
echo
echo "| workload | peer | fat12img median ms | peer median ms | floor median ms | ratio fat12img/peer | ratio fat12img/floor | syscalls fat12img / peer | minor faults fat12img / peer / floor | bytes written to image fat12img / peer | image write calls fat12img / peer | max RSS KiB fat12img / peer |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
echo
echo "Workloads:"
for w in "${selected[@]}"; do echo "- $w: ${note[$w]}"; done
