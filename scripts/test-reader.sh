#!/usr/bin/env bash
# Harvests real directories with the built program, then asks a real reader
# of description lists what it shows: the file server of the npm package hfs
# (pinned below), run on the system's Node.js with descript_ion on. The list
# encoding is one setting for the whole server, so two instances run: one set
# to cp866 for the lists logharvest creates, one set to utf8 for a list that
# another file manager began in UTF-8. Every file must show exactly its
# comment, and a file without one must show none.
#
#   scripts/test-reader.sh [PROGRAM [CACHE]]
#
# PROGRAM is the built logharvest (build/logharvest); hfs is installed with
# npm into CACHE (build/reader) once and reused. Node.js is installed with
# apt-get when missing; npm is fetched from the npm registry by Node.js
# itself (pinned below, its SHA-512 checked) into the cache: Debian's npm
# package brings some 370 others and takes minutes to install.
#
# The servers and the queries run in a network namespace of their own, with
# only the loopback device: the servers listen on 127.0.0.1, and whatever they
# try to reach beyond this machine (hfs looks for a router at start) goes
# nowhere. Each server is stopped by its PID at the end, also on failure.
set -euo pipefail
hfs_version=0.52.9
npm_version=10.8.2
npm_sha512=c7f0088c520a46596b85c6f8f1da943400199748a0f7ea8cb8df75469668dc26f6fb3ba26df87e2884a5ebe91557292d0f3db7d0929cdb4f14910c3032ac81fb
self=$(realpath "$0")
cd "$(dirname "$self")/.."
program=$(realpath "${1:-build/logharvest}")
cache=$(realpath -m "${2:-build/reader}")
client=$PWD/tests/reader/list_comments.js

if [ -z "${LOGHARVEST_READER_NAMESPACE:-}" ]; then
  missing=()
  command -v node >/dev/null || missing+=(nodejs)
  command -v ip >/dev/null || missing+=(iproute2)
  [ "${#missing[@]}" -eq 0 ] || scripts/install-deps.sh --only "${missing[@]}"
  installed=$(node -p "try { require('$cache/node_modules/hfs/package.json').version } catch (e) { '' }")
  if [ "$installed" != "$hfs_version" ]; then
    echo "installing hfs $hfs_version with npm into $cache"
    rm -rf "$cache"
    mkdir -p "$cache/tmp"
    echo '{"private": true}' >"$cache/package.json"
    node -e 'fetch(process.argv[1]).then((r) => { if (!r.ok) throw new Error(`${r.status} ${r.url}`); return r.arrayBuffer(); })
      .then((b) => require("fs").writeFileSync(process.argv[2], Buffer.from(b)))' \
      "https://registry.npmjs.org/npm/-/npm-$npm_version.tgz" "$cache/tmp/npm.tgz"
    echo "$npm_sha512  $cache/tmp/npm.tgz" | sha512sum -c --quiet
    tar -xzf "$cache/tmp/npm.tgz" -C "$cache/tmp"
    # npm's cache, logs and scratch files stay in the cache directory too.
    (cd "$cache" && TMPDIR="$cache/tmp" npm_config_cache="$cache/npm-cache" npm_config_update_notifier=false \
      node "$cache/tmp/package/bin/npm-cli.js" install --no-audit --no-fund --ignore-scripts --save-exact \
      "hfs@$hfs_version")
    rm -rf "$cache/npm-cache" "$cache/tmp"
  fi
  echo "reader: hfs $hfs_version on Node.js $(node --version)"
  exec env LOGHARVEST_READER_NAMESPACE=1 unshare --net -- "$self" "$program" "$cache"
fi

ip link set lo up
scratch=$(mktemp -d "${TMPDIR:-/tmp}/logharvest-reader-XXXXXX")
server_pids=()
cleanup() {
  local pid
  for pid in "${server_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

# shellcheck source=scripts/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

share=$scratch/share
# Texts below are UTF-8; logs are written in Windows-1251, lists in code page
# 866 (one list in UTF-8, by another file manager).
add_file() {  # add_file DIRECTORY NAME
  printf 'data\n' >"$share/$1/$2"
}
add_log() {  # add_log DIRECTORY NAME COMMENT: a log whose comment line carries COMMENT
  printf 'Автор: Иван Петров\r\nКомментарий: %s\r\nРазмер: 1 КБ\r\n' "$3" | iconv -f UTF-8 -t CP1251 >"$share/$1/$2.log"
}
add_log_without_comment() {  # add_log_without_comment DIRECTORY NAME
  printf 'Автор: Иван Петров\r\nРазмер: 1 КБ\r\n' | iconv -f UTF-8 -t CP1251 >"$share/$1/$2.log"
}

mkdir -p "$share"/{fresh,marked,blanks,nolog}
alphabet='АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ абвгдежзийклмнопрстуфхцчшщъыьэюя 0-9 (1,2 МБ)!'

# A directory that has no list yet: the run creates one.
add_file fresh report.zip
add_log fresh report.zip 'Годовой отчет за 2025 год'
add_file fresh letters.txt
add_log fresh letters.txt "$alphabet"

# A lower-case list whose last byte is the end-of-file mark, right after the
# last comment, with no line end between: a mark left in place would end
# that comment.
add_file marked old.arj
add_file marked older.lzh
printf 'old.arj  Старый архив\r\nolder.lzh  Очень старый архив' | iconv -f UTF-8 -t CP866 >"$share/marked/descript.ion"
printf '\x1a' >>"$share/marked/descript.ion"
add_file marked new.rar
add_log marked new.rar 'Новый архив'

# Names with blanks, which the list must quote.
add_file blanks 'photos 2026.rar'
add_log blanks 'photos 2026.rar' 'Фотографии с конференции'
add_file blanks 'two  blanks.txt'
add_log blanks 'two  blanks.txt' 'Два пробела в имени'
add_file blanks plain.txt
add_log blanks plain.txt 'Без пробелов'

# Files that get no comment: none has a log, one's log has no comment line,
# and a log without its file stays as it is.
add_file nolog setup.exe
add_file nolog empty.exe
add_log_without_comment nolog empty.exe
add_log nolog readme.txt 'Файла readme.txt нет рядом'
add_file nolog notes.txt
add_log nolog notes.txt 'Заметки'

# Cyrillic names, which CP866 holds: the list must name them in CP866 (ё as
# F1, quoted when they hold a blank), since that is how a reader decodes them.
mkdir -p "$share"/{cyrillic,foreign,letters,again}
add_file cyrillic 'Отчёт 2025.zip'
add_log cyrillic 'Отчёт 2025.zip' 'Годовой отчет'
add_file cyrillic фото.rar
add_log cyrillic фото.rar 'Фотографии с выставки'

# A name that CP866 cannot hold (ï, €) is harvested all the same: its log is
# taken and its line holds the name's bytes as they are (UTF-8) beside the
# comment, converted as any other (ё included). No reader of a CP866 list can
# show that comment, as it decodes those bytes to a name no file has;
# plain.zip beside it shows that the list itself is read.
foreign=naïve€.zip
add_file foreign "$foreign"
add_log foreign "$foreign" 'Наивный ёжик'
add_file foreign plain.zip
add_log foreign plain.zip 'Обычное имя'

# Every Windows-1251 character that CP866 holds comes out as that character:
# ё and № above all, and the rarer ones with them (no-break space included).
nbsp=$'\xc2\xa0'
add_file letters hedgehog.txt
add_log letters hedgehog.txt 'Ёжик и ёлка, № 5'
signs="Ўў Єє Її 20° a·b ¤1${nbsp}000"
add_file letters signs.txt
add_log letters signs.txt "$signs"

# A list that another file manager began in UTF-8, with the byte order mark
# (EF BB BF) first, read by the server set to utf8: the new lines must be
# UTF-8 too, names as they are and comments converted from Windows-1251, so
# that here even naïve€.zip shows its comment. The old lines have the shape
# of logharvest's own (two blanks, CR LF), which the client expects.
mkdir -p "$share/bom"
add_file bom old.zip
add_file bom 'Прошлый год.rar'
printf '\xef\xbb\xbfold.zip  Старый архив\r\n"Прошлый год.rar"  Отчёт за прошлый год\r\n' >"$share/bom/descript.ion"
add_file bom new.zip
add_log bom new.zip 'Ёлка № 1'
add_file bom 'Новый отчёт.zip'
add_log bom 'Новый отчёт.zip' 'Отчёт за этот год'
add_file bom "$foreign"
add_log bom "$foreign" 'Наивный архив'

echo "== harvesting with $program"
for area in fresh marked blanks nolog cyrillic foreign letters bom; do
  status=0
  "$program" "$share/$area" || status=$?
  check "$area: the run ends with exit code 0" test "$status" = 0
done
check "fresh: the new list is descript.ion" test -f "$share/fresh/descript.ion"
check "foreign: $foreign.log is taken" test ! -e "$share/foreign/$foreign.log"
# holds_line FILE LINE: FILE has a line of exactly LINE's bytes (its CR too).
holds_line() {
  LC_ALL=C grep -qaxF -- "$2" "$1"
}
line="$foreign  $(printf 'Наивный ёжик' | iconv -f UTF-8 -t CP866)"$'\r'
check "foreign: its line is the name's own bytes and the comment in CP866" holds_line "$share/foreign/descript.ion" "$line"

# The same file harvested three times, its log made anew before each run,
# with the comments first, second and first again: the reader takes the last
# line for a name, so the list must end with the third comment.
add_file again a.zip
run=0
for comment in first second first; do
  run=$((run + 1))
  add_log again a.zip "$comment"
  status=0
  "$program" "$share/again" || status=$?
  check "again: run $run ($comment) ends with exit code 0" test "$status" = 0
  check "again: run $run takes the log" test ! -e "$share/again/a.zip.log"
done

# start_server NAME ENCODING: starts hfs on a free port, with its
# configuration in $scratch/NAME, serving $share and reading each
# descript.ion in ENCODING; sets server_port once the server answers.
start_server() {
  local name=$1 encoding=$2 pid
  echo "== starting hfs $hfs_version, lists read as $encoding"
  mkdir -p "$scratch/$name"
  server_port=$(node -e "const s = require('net').createServer().listen(0, '127.0.0.1', () => { console.log(s.address().port); s.close(); });")
  cat >"$scratch/$name/config.yaml" <<EOF
port: $server_port
listen_interface: 127.0.0.1
open_browser_at_start: false
descript_ion: true
descript_ion_encoding: $encoding
vfs:
  source: $share
EOF
  node "$cache/node_modules/hfs/src/index.js" --cwd "$scratch/$name" </dev/null >"$scratch/$name.log" 2>&1 &
  pid=$!
  server_pids+=("$pid")
  if ! node --no-warnings "$client" "$server_port" / --wait; then
    echo "reader: the server did not answer on 127.0.0.1:$server_port; its output:"
    sed 's/^/    /' "$scratch/$name.log"
    echo "reader: $passes passed, $((failures + 1)) failed"
    exit 1
  fi
  echo "listening on 127.0.0.1:$server_port, PID $pid"
}
start_server server cp866
cp866=$server_port
start_server server-utf8 utf8
utf8=$server_port

# shows PORT AREA EXPECTED: the server on PORT lists exactly the expected
# entries of /AREA/, each line "name", or "name<tab>comment" for a file with
# a comment.
shows() {
  local port=$1 area=$2 expected=$3 actual line before=$failures
  echo "== /$area/"
  if ! actual=$(node --no-warnings "$client" "$port" "/$area/"); then
    check "/$area/ is listed" false
    return
  fi
  while IFS= read -r line; do
    if [[ $line == *$'\t'* ]]; then
      check "${line%%$'\t'*}: ${line#*$'\t'}" grep -qxF -- "$line" <<<"$actual"
    else
      check "$line: no comment" grep -qxF -- "$line" <<<"$actual"
    fi
  done <<<"$expected"
  local unexpected
  unexpected=$(grep -vxF -- "$expected" <<<"$actual" || true)
  check "nothing else is shown" test -z "$unexpected"
  if [ "$failures" -gt "$before" ]; then
    echo "        the server shows:"
    sed 's/^/          /; s/\t/  |  /' <<<"$actual"
  fi
}

shows "$cp866" fresh "report.zip	Годовой отчет за 2025 год
letters.txt	$alphabet"
shows "$cp866" marked "old.arj	Старый архив
older.lzh	Очень старый архив
new.rar	Новый архив"
shows "$cp866" blanks "photos 2026.rar	Фотографии с конференции
two  blanks.txt	Два пробела в имени
plain.txt	Без пробелов"
shows "$cp866" nolog "setup.exe
empty.exe
readme.txt.log
notes.txt	Заметки"
shows "$cp866" cyrillic "Отчёт 2025.zip	Годовой отчет
фото.rar	Фотографии с выставки"
shows "$cp866" foreign "$foreign
plain.zip	Обычное имя"
echo "        $foreign shows no comment, and cannot in a CP866 list: CP866 has no ï and no €"
shows "$cp866" letters "hedgehog.txt	Ёжик и ёлка, № 5
signs.txt	$signs"
shows "$cp866" again "a.zip	first"
# hfs decodes a list with the npm package iconv-lite, whose UTF-8 decoder
# drops a leading byte order mark: the first old line keeps its name and
# shows. (A reader that kept the mark would read that one name as U+FEFF
# "old.zip" and lose only its comment.)
shows "$utf8" bom "old.zip	Старый архив
Прошлый год.rar	Отчёт за прошлый год
new.zip	Ёлка № 1
Новый отчёт.zip	Отчёт за этот год
$foreign	Наивный архив"

echo "reader: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
