// A whole harvest over a random list and random logs, in memory: the tail
// index, its claims, the torn last line and the latest line of each name.
// The run's windows are small (a tail of 256 bytes to 4 KiB) and so are the
// lists, so that many harvests a second reach the windows' edges. After the
// run (before the list is replaced by one without the older lines of the
// names harvested, which is checked apart) the old content is intact but
// for a mark cut or a missing line end, the new bytes are whole lines of
// the harvested logs, and every harvested log's line appears once more than
// before, or fewer times only by the lines of its name that vouched for it.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "app/harvest.h"
#include "common/io_result.h"
#include "desclist/description_list.h"
#include "logcomment/code_page.h"
#include "logcomment/log_comment.h"
#include "memory_world.h"

namespace {

// Names a log may have: plain, with a blank, in two letter cases, in UTF-8
// Cyrillic (which code page 866 holds: "фото"), and in UTF-8 that it does not
// ("naïve"); each with the code page 866 and the UTF-8 form a list gives it.
struct Name {
  Bytes file;
  Bytes in_866;
  Bytes in_utf8;
};
const Name kNames[] = {
    {"a", "a", "a"},
    {"a b", "\"a b\"", "\"a b\""},
    {"x", "x", "x"},
    {"X", "X", "X"},
    {"\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE", "\xE4\xAE\xE2\xAE", "\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE"},
    {"na\xC3\xAFve", "na\xC3\xAFve", "na\xC3\xAFve"},
};
const char* const kSuffixes[] = {".log", ".LOG"};

// Takes bytes from the input in order.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool Empty() const { return at >= size; }
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
  Bytes Take(std::size_t n) {
    n = std::min(n, size - std::min(at, size));
    Bytes taken(reinterpret_cast<const char*>(data) + at, n);
    at += n;
    return taken;
  }
};

// A name as a list of the kind and encoding gives it.
Bytes Listed(const Name& name, bool bbs, bool utf8) {
  const Bytes& listed = utf8 ? name.in_utf8 : name.in_866;
  return bbs && listed.front() == '"' ? listed.substr(1, listed.size() - 2) : listed;
}

// A list: lines made of the names above and short texts, CR LF, LF, CR,
// byte 26, quotes and a byte order mark; sometimes padded with copies of one
// line to lie around the size of the tail a run reads, so that the tail
// starts anywhere in such a line.
Bytes RandomList(Input& in, bool bbs, std::int64_t tail_bytes) {
  Bytes list;
  const std::uint8_t shape = in.Byte();
  const bool utf8 = (shape & 1) != 0;
  if (utf8) list += "\xEF\xBB\xBF";
  if ((shape & 0x0E) == 0x0E) {
    const std::size_t target = static_cast<std::size_t>(tail_bytes) + in.Byte() % 64 - 32;
    const Bytes pad = in.Take(1) + Listed(kNames[in.Byte() % 6], bbs, utf8) + "  " + in.Take(2) + "\r\n";
    while (list.size() + pad.size() < target) list += pad;
    list += Bytes(target - list.size(), 'q');
    if ((shape & 0x10) != 0) list += "\r\n";
  }
  const std::size_t lines = in.Byte() % 8;
  for (std::size_t i = 0; i < lines && !in.Empty(); ++i) {
    const std::uint8_t kind = in.Byte();
    list += Listed(kNames[kind % 6], bbs, utf8);
    list += (kind & 8) != 0 ? " " : "  ";
    list += in.Take(in.Byte() % 6);
    const char* const kEnds[] = {"\r\n", "\r\n", "\n", "\r", "", "\x1A"};
    list += kEnds[(kind >> 4) % 6];
  }
  return list;
}

// The content a list keeps when it is opened: cut at the first byte 26 in
// its final 128 bytes.
Bytes Kept(const Bytes& list) {
  const std::size_t window = list.size() > 128 ? list.size() - 128 : 0;
  return list.substr(0, list.find('\x1A', window));
}

// The lines of text from offset from on that end in an LF, without their
// line ends, each with whether that was CR LF.
std::vector<std::pair<Bytes, bool>> LinesWithEnds(const Bytes& text, std::size_t from) {
  std::vector<std::pair<Bytes, bool>> lines;
  std::size_t start = from;
  for (std::size_t lf = text.find('\n', from); lf != Bytes::npos; lf = text.find('\n', lf + 1)) {
    const bool crlf = lf > start && text[lf - 1] == '\r';
    lines.emplace_back(text.substr(start, lf - (crlf ? 1 : 0) - start), crlf);
    start = lf + 1;
  }
  return lines;
}

bool EndsInErrorText(const Bytes& line) {
  const Bytes error = " " + Bytes(kErrorReadingFile);
  return line.size() > error.size() && line.compare(line.size() - error.size(), error.size(), error) == 0;
}

// The lines of text from offset from on that end in CR LF, without it.
std::vector<Bytes> WholeLines(const Bytes& text, std::size_t from) {
  std::vector<Bytes> lines;
  std::size_t start = from;
  for (std::size_t lf = text.find('\n', from); lf != Bytes::npos; lf = text.find('\n', lf + 1)) {
    if (lf > start && text[lf - 1] == '\r') lines.push_back(text.substr(start, lf - 1 - start));
    start = lf + 1;
  }
  return lines;
}

// The name a line gives its file, as the readers take it.
Bytes NameOf(const Bytes& line, bool bbs) {
  if (!bbs && !line.empty() && line[0] == '"') {
    const std::size_t close = line.find('"', 1);
    if (close != Bytes::npos) return line.substr(1, close - 1);
  }
  return line.substr(0, line.find(' '));
}

std::map<Bytes, int> Counts(const std::vector<Bytes>& lines) {
  std::map<Bytes, int> counts;
  for (const Bytes& line : lines) ++counts[line];
  return counts;
}

int Count(const std::map<Bytes, int>& counts, const Bytes& line) {
  const auto found = counts.find(line);
  return found == counts.end() ? 0 : found->second;
}

struct Log {
  Bytes comment;
  const Name* name;
};

// The list the run wrote anew: the one it replaced with whole lines left
// out, each a line of a name harvested (or in a file area one that goes on
// with a line left out, beginning with a blank or a tab), and each name
// harvested with one line left, one of its logs' lines.
void CheckReplacement(const Bytes& before, const Bytes& after, const std::map<Bytes, Log>& comments, bool bbs) {
  const bool utf8 = before.compare(0, 3, "\xEF\xBB\xBF") == 0;
  const std::size_t start = utf8 ? 3 : 0;
  std::map<Bytes, std::vector<Bytes>> lines_of;  // name -> the lines its logs give
  for (const auto& entry : comments) {
    const Log& log = entry.second;
    if (log.comment.empty()) continue;
    const Bytes line = Listed(*log.name, bbs, utf8) + " " +
                       FromWindows1251(log.comment, utf8 ? ListEncoding::kUtf8 : ListEncoding::kDosCyrillic);
    lines_of[NameOf(line, bbs)].push_back(line);
  }
  if (after.compare(0, start, before, 0, start) != 0) std::abort();
  std::size_t at = start;
  bool left_out = false;
  for (std::size_t from = start; from < before.size();) {
    const std::size_t lf = before.find('\n', from);
    const std::size_t end = lf == Bytes::npos ? before.size() : lf + 1;
    const Bytes piece = before.substr(from, end - from);
    from = end;
    const bool continuation = bbs && left_out && (piece[0] == ' ' || piece[0] == '\t');
    if (after.compare(at, piece.size(), piece) == 0) {
      if (continuation) std::abort();
      at += piece.size();
      left_out = false;
      continue;
    }
    Bytes text = piece;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!continuation && lines_of.count(NameOf(text, bbs)) == 0) std::abort();
    left_out = true;
  }
  if (at != after.size()) std::abort();
  std::map<Bytes, int> left;
  for (const Bytes& line : WholeLines(after, start)) {
    const auto found = lines_of.find(NameOf(line, bbs));
    if (found == lines_of.end()) continue;
    ++left[found->first];
    if (std::find(found->second.begin(), found->second.end(), line) == found->second.end()) std::abort();
  }
  for (const auto& entry : lines_of) {
    if (left[entry.first] != 1) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  const std::uint8_t setup = in.Byte();
  const bool bbs = (setup & 1) != 0;
  // The tail, a batch's span half of it, and one or two lines held back
  // (the others passed over for a second walk) or as many as there are.
  RunBounds windows;
  windows.tail_bytes = 256 * (1 + ((setup >> 2) & 15));
  windows.batch_span_bytes = windows.tail_bytes / 2;
  if ((setup & 0x40) != 0) windows.max_held_lines = 1 + (setup >> 7);
  MemoryWorld world(PathStyle::kPosix);
  // Reads of a few bytes try every way the bytes can arrive.
  world.read_limit = 1 + in.Byte() % 200;
  world.arguments = {world.Root()};
  if (bbs) world.Write(world / "bin/to_bbs", "");
  const Bytes list_path = world / (bbs ? "files.bbs" : "descript.ion");
  const Bytes old = RandomList(in, bbs, windows.tail_bytes);
  if ((setup & 2) != 0 || !old.empty()) world.Write(list_path, old);

  // The logs: each has its companion; its comment is random Windows-1251
  // text without line ends, or empty.
  std::map<Bytes, Log> comments;  // by the log's path
  const std::size_t logs = in.Byte() % 6;
  for (std::size_t i = 0; i < logs && !in.Empty(); ++i) {
    const std::uint8_t kind = in.Byte();
    const Name& name = kNames[kind % 6];
    const Bytes log = world / (name.file + kSuffixes[(kind >> 3) % 2]);
    Bytes comment = in.Take(in.Byte() % 8);
    for (char& c : comment) {
      if (c == '\r' || c == '\n' || c == '\x1A') c = ' ';
    }
    world.Write(world / name.file, "data");
    world.Write(log, "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A" + comment + "\r\n");
    comments[log] = {comment, &name};
  }

  Platform* previous = SetPlatform(&world);
  HarvestRun(windows);
  SetPlatform(previous);
  if (TakeIoResult() != 0 || world.open_files != 0 || world.open_walks != 0) std::abort();

  const Bytes kept = Kept(old);
  // A replaced list is checked as the run left it before the replacement,
  // and the replacement apart.
  const Bytes now = world.replaced.empty() ? world.Read(list_path) : world.replaced.back();
  if (world.replaced.size() > 1) std::abort();
  if (!world.replaced.empty()) CheckReplacement(now, world.Read(list_path), comments, bbs);
  if (now.compare(0, kept.size(), kept) != 0) std::abort();
  // A cut brings an earlier mark into the final bytes: the next run cuts
  // there too, so the logs of lines after it stay, and the run harvests
  // nothing more.
  if (Kept(now).size() < now.size()) {
    if (Kept(now).size() > kept.size()) std::abort();
    return 0;
  }
  const bool utf8 = kept.compare(0, 3, "\xEF\xBB\xBF") == 0;
  const std::size_t start = utf8 ? 3 : 0;
  // The lines each log gives, by name as the readers take it.
  std::map<Bytes, int> harvested;  // line -> logs that give it and are gone
  for (const auto& [path, log] : comments) {
    if (world.Exists(path)) std::abort();  // every log here can be read, and goes
    if (log.comment.empty()) continue;
    ++harvested[Listed(*log.name, bbs, utf8) + " " +
                FromWindows1251(log.comment, utf8 ? ListEncoding::kUtf8 : ListEncoding::kDosCyrillic)];
  }
  // What follows the old content: a line end or the rest of its torn last
  // line, then whole lines, each one of a harvested log.
  // A last line without a line end counts as a line: the run ends it.
  const Bytes ended = kept.empty() || kept.back() == '\n' ? kept : kept + (kept.back() == '\r' ? "\n" : "\r\n");
  const std::vector<Bytes> before = WholeLines(ended, start);
  const std::vector<Bytes> after = WholeLines(now, start);
  const std::map<Bytes, int> count_before = Counts(before);
  const std::map<Bytes, int> count_after = Counts(after);
  if (now.size() > kept.size() && now.compare(now.size() - 2, 2, "\r\n") != 0) std::abort();
  // The lines the logs may take from the list instead of new ones: from
  // each name's last line back, each line taken by a log that gives it,
  // error lines and a torn last piece of another line passed over (a
  // crashed run's last line, whose log is not here), up to the first line
  // no log gives or one without CR LF, which vouches for none.
  const bool torn = !kept.empty() && kept.back() != '\n';
  std::vector<std::pair<Bytes, bool>> ends = LinesWithEnds(ended, start);
  std::map<Bytes, int> left = harvested;
  std::map<Bytes, int> vouching;  // line -> lines of the list that may vouch for its logs
  std::map<Bytes, bool> stopped;  // by name
  for (std::size_t i = ends.size(); i-- > 0;) {
    const auto& [l, crlf] = ends[i];
    bool& stop = stopped[NameOf(l, bbs)];
    if (stop) continue;
    if (!crlf) {
      stop = true;
    } else if (Count(left, l) > 0) {
      --left[l];
      ++vouching[l];
    } else if (!EndsInErrorText(l) && !(torn && i + 1 == ends.size())) {
      stop = true;
    }
  }
  for (const auto& [line, logs_gone] : harvested) {
    const Bytes last_piece = kept.substr(std::min(kept.size(), kept.rfind('\n') + 1));
    const bool completes =
        !last_piece.empty() && (line.compare(0, last_piece.size(), last_piece) == 0 || last_piece == line + "\r");
    const int added = Count(count_after, line) - Count(count_before, line);
    if (added > logs_gone || added < logs_gone - Count(vouching, line) - (completes ? 1 : 0)) std::abort();
    if (Count(count_after, line) == 0) std::abort();
  }
  for (const auto& [line, count] : count_after) {
    if (Count(count_before, line) < count && harvested.count(line) == 0) std::abort();
  }
  return 0;
}
