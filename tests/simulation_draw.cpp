// The world a seed draws: its windows, its names, its logs and its list.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "simulation_world.h"
#include "test_support.h"

namespace sim {

Comment Simulation::DrawComment() {
  Comment comment;
  char id[16];
  std::snprintf(id, sizeof id, " c%04d", next_id_);
  comment.cp1251 = comment.cp866 = comment.utf8 = comment.cp866_of_unicode = id;
  // Short, or around a batch's span or the tail, so that lines reach every
  // window's edge.
  std::size_t length = random_.Below(12);
  if (random_.OneIn(5)) length = static_cast<std::size_t>(windows_.batch_span_bytes) - 20 + random_.Below(40);
  if (random_.OneIn(8)) length = static_cast<std::size_t>(windows_.tail_bytes) - 20 + random_.Below(40);
  for (std::size_t i = 0; i < length; ++i) {
    const Char& c = CommentChars()[random_.Below(CommentChars().size())];
    comment.cp1251 += c.cp1251;
    comment.cp866 += !c.cp866.empty() ? c.cp866 : c.cp1251;
    comment.utf8 += c.utf8;
    comment.cp866_of_unicode += !c.cp866.empty() ? c.cp866 : "?";
  }
  return comment;
}

// Half the logs are Windows-1251; today's writers write the rest.
Version::Encoding Simulation::DrawEncoding() {
  if (random_.OneIn(2)) return Version::kWindows1251;
  const Version::Encoding kToday[] = {Version::kUtf8, Version::kUtf8Marked, Version::kUtf16Little, Version::kUtf16Big};
  return kToday[random_.Below(4)];
}

// A log as its writer wrote it. Earlier comment lines, in either encoding
// of a single-byte log and one longer than the cap, count for nothing: the
// last one counts. Its lines end in CR LF or LF alone. A log over the cap
// ends with the start of its last comment line. A log's hole comes before
// its last comment line, where an earlier comment line runs into it or a
// line begins in it (which is no comment line, whatever follows the
// zeros), or else after the start of its last comment line, over the cap.
Bytes Simulation::LogContent(Version& version) {
  const char* end = random_.OneIn(4) ? "\n" : "\r\n";
  const bool unicode = version.encoding != Version::kWindows1251;
  const bool utf16 = version.encoding == Version::kUtf16Little || version.encoding == Version::kUtf16Big;
  const Bytes& prefix = unicode ? kUtf8Prefix : kPrefix;
  // A line of x over the cap by a few bytes of the log; a UTF-16 x is two.
  const auto over_cap = [&] {
    return Bytes(static_cast<std::size_t>(kCommentCap) / (utf16 ? 2 : 1) + 1 + random_.Below(8), 'x');
  };
  Bytes content =
      (unicode ? "\xD0\x90\xD0\xB2\xD1\x82\xD0\xBE\xD1\x80: sim" : "\xC0\xE2\xF2\xEE\xF0: sim") + Bytes(end);
  if (version.commented && random_.OneIn(4)) {
    content += (utf16 || random_.OneIn(2) ? prefix
                : random_.OneIn(2)        ? kPrefix
                                          : kUtf8Prefix) +
               " an earlier comment" + end;
  }
  if (version.commented && random_.OneIn(200)) content += prefix + over_cap() + end;
  const auto encoded = [&](const Bytes& text) -> Bytes {
    switch (version.encoding) {
      case Version::kUtf8Marked:
        return "\xEF\xBB\xBF" + text;
      case Version::kUtf16Little:
      case Version::kUtf16Big:
        return Utf16WithMark(text, version.encoding == Version::kUtf16Big);
      default:
        return text;
    }
  };
  if (version.hole > 0 && !version.over_cap) {
    const bool runs_into = extra_.OneIn(2);
    if (runs_into) content += prefix + " into the hole";
    version.hole_at = encoded(content).size();
    content += runs_into ? end : prefix + " after the hole's start" + end;
  }
  const Bytes& text = unicode ? version.comment.utf8 : version.comment.cp1251;
  if (version.over_cap) {
    content += prefix + text;  // the rest of the line is the sparse log's fill, or its hole
    version.hole_at = encoded(content).size();
  } else {
    if (version.commented) content += prefix + text + end;
    if (!version.commented && random_.OneIn(2)) content += prefix + end;  // an empty comment
    content += "Size: 1" + Bytes(end);
  }
  return encoded(content);
}

void Simulation::WriteLog(const Bytes& path, const Version& version) {
  if (version.hole == 0) return world_.Write(path, version.content);
  world_.WriteWithHoles(
      path, {{version.content.substr(0, version.hole_at), version.hole}, {version.content.substr(version.hole_at), 0}});
}

Version& Simulation::AddVersion(const Bytes& log, const Name& name, const Bytes& companion, bool commented) {
  Version version;
  version.id = next_id_;
  version.log = log;
  version.name = &name;
  version.companion = companion;
  version.commented = commented;
  version.comment = DrawComment();
  ++next_id_;
  versions_.push_back(version);
  return versions_.back();
}

Version* Simulation::CurrentVersion(const Bytes& log) {
  for (auto it = versions_.rbegin(); it != versions_.rend(); ++it) {
    if (it->log == log && it->state == Version::kPresent) return &*it;
  }
  return nullptr;
}

// A list around the windows: lines of other files and of the names here
// with other comments, line ends of every kind, a byte order mark, the
// lines a killed run left for logs that are still there, a torn last line
// and an end-of-file mark.
Bytes Simulation::DrawList() {
  Bytes list = utf8_list_ ? "\xEF\xBB\xBF" : "";
  // Often nothing before a killed run's lines, which then start at the
  // list's first byte or right after the mark.
  const std::size_t target = random_.OneIn(4) ? 0
                             : random_.OneIn(2)
                                 ? random_.Below(64)
                                 : static_cast<std::size_t>(windows_.tail_bytes) - 40 + random_.Below(80);
  const char* const kEnds[] = {"\r\n", "\r\n", "\r\n", "\n", "\r"};
  int n = 0;
  while (list.size() < target) {
    // The names here come several times: with comments, with error lines,
    // and in a file area with lines below that go on with the comment.
    Bytes name = random_.OneIn(2) ? ListName(names_[random_.Below(names_.size())]) : "old" + std::to_string(n);
    if (!bbs_ && name.find_first_of(" \t") != Bytes::npos) name = "\"" + name + "\"";
    list += name + (random_.OneIn(6) ? " " + kErrorText : "  history " + std::to_string(n)) + kEnds[random_.Below(5)];
    ++n;
    if (bbs_ && random_.OneIn(3)) list += (random_.OneIn(2) ? "   more " : "\tmore ") + std::to_string(n) + "\r\n";
  }
  if (!list.empty() && list.back() == '\r' && random_.OneIn(2)) list += "\n";
  std::vector<Version*> present;
  for (Version& version : versions_) {
    if (!LineOf(version).empty() && !version.writing) present.push_back(&version);  // a writer's comment is to come
  }
  // A killed run's waiting lines span no more than a batch may, unless one
  // line alone is longer.
  std::size_t leftovers = present.empty() || random_.OneIn(2) ? 0 : random_.Between(1, present.size());
  for (std::size_t i = 0, span = 0; i < leftovers; ++i) {
    span += LineOf(*present[i]).size() + 2;
    if (i > 0 && static_cast<std::int64_t>(span) > windows_.batch_span_bytes) leftovers = i;
  }
  for (std::size_t i = 0; i < leftovers; ++i) {
    if (!list.empty() && list.back() != '\n' && list != "\xEF\xBB\xBF") list += "\r\n";
    const Bytes line = LineOf(*present[i]);
    // Whole, without its LF, without its line end, or torn.
    switch (i + 1 == leftovers ? random_.Below(5) : 0) {
      case 0:
      case 1:
        list += line + "\r\n";
        break;
      case 2:
        list += line + "\r";
        break;
      case 3:
        list += line;
        break;
      default:
        list += line.substr(0, random_.Between(1, line.size() - 1));
    }
  }
  // The mark at every distance from the end, the window's edge the most:
  // one in its final 128 bytes is found, one byte further is not.
  if (random_.OneIn(5)) {
    const std::size_t junk = random_.OneIn(2) ? random_.Between(125, 129) : random_.Below(160);
    const bool torn = !list.empty() && list.back() != '\n';
    list += "\x1A" + Bytes(junk, 'j');
    // Beyond the window the mark stays, and a torn last line before it is,
    // with the junk, a line of its name that no log claims.
    if (torn && junk + 1 > 128) ended_pieces_.insert(LastLine(list));
  }
  return list;
}

void Simulation::DrawWorld() {
  const std::int64_t tail = static_cast<std::int64_t>(random_.Between(96, 1024));
  windows_.tail_bytes = tail;
  windows_.batch_span_bytes = tail / 2;
  windows_.max_batch_logs = random_.Between(1, 6);
  windows_.max_batch_path_bytes = random_.Between(24, 400);
  windows_.max_held_lines = random_.Between(1, 6);
  windows_.max_held_bytes = static_cast<std::size_t>(tail) * random_.Between(1, 4) / 2;
  bbs_ = random_.OneIn(3);
  const bool with_list = !random_.OneIn(4);
  utf8_list_ = with_list && random_.OneIn(4);  // a new list is in code page 866
  const bool posix = posix_ = world_.Style() == PathStyle::kPosix;
  if (bbs_) world_.Write(world_.Root() + "bin" + world_.Separator() + "to_bbs", "");
  Bytes list_name = bbs_ ? "files.bbs" : "descript.ion";
  // A list that exists in another spelling is the one appended to.
  if (!posix || (with_list && random_.OneIn(4))) list_name[0] = static_cast<char>(list_name[0] - 'a' + 'A');
  list_path_ = world_ / list_name;
  std::ostringstream story;
  story << "seed " << seed_ << ": " << (posix ? "POSIX" : "Windows") << " names, "
        << (bbs_ ? "files.bbs" : "descript.ion") << (utf8_list_ ? " in UTF-8" : "") << ", tail " << tail
        << ", batch span " << windows_.batch_span_bytes << ", batch of " << windows_.max_batch_logs << " logs or "
        << windows_.max_batch_path_bytes << " path bytes, " << windows_.max_held_lines << " held lines or "
        << windows_.max_held_bytes << " bytes";
  outcome_.story.push_back(story.str());
  const std::size_t logs = random_.Between(2, 9);
  for (std::size_t i = 0; i < logs; ++i) DropLog();
  // The system: a file system without leases (POSIX), one that cannot copy
  // between files; and who may read the list.
  world_.grants_leases = !(posix && extra_.OneIn(6));
  world_.copies_in_kernel = !extra_.OneIn(3);
  if (!world_.grants_leases) Event("no leases", "the system grants no lease on the list");
  if (!world_.copies_in_kernel) Event("no copy in the kernel", "the system copies no bytes between files");
  if (with_list) {
    const Bytes list = DrawList();
    world_.Write(list_path_, list);
    // Everyone; the owner and the group; the owner alone; and an account
    // an access list names.
    constexpr std::uint32_t kReaders[] = {MemoryWorld::kEveryAccount, 0x3, 0x1, 0x9};
    world_.SetReaders(list_path_, kReaders[extra_.Below(4)]);
    AllowLinesOf(list, true);
    outcome_.story.push_back("  list " + list_name + " of " + std::to_string(list.size()) + " bytes, ending \"" +
                             Shown(ByteView(list).substr(list.size() - std::min<std::size_t>(list.size(), 40))) + "\"");
  }
}

}  // namespace sim
