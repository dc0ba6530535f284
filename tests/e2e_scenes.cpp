#include "e2e_scenes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

namespace {

const Bytes kOtchet = "\x20\xCE\xF2\xF7\xB8\xF2";  // " Отчёт" in Windows-1251

// Names in UTF-8: code page 866 holds every character of the first two, and
// of the third all but the euro sign, which Windows-1251 holds.
const Bytes kReport = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 2025.zip";  // "Отчёт 2025.zip"
const Bytes kPhoto = "\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE.rar";                // "фото.rar"
const Bytes kPrice = "\xD1\x86\xD0\xB5\xD0\xBD\xD0\xB0\xE2\x82\xAC.zip";    // "цена€.zip"
const Bytes kReport866 = "\x8E\xE2\xE7\xF1\xE2 2025.zip";
const Bytes kPhoto866 = "\xE4\xAE\xE2\xAE.rar";

std::vector<Scene> MakeScenes() {
  const Bytes worked_log = "\xC0\xE2\xF2\xEE\xF0: x\r\n" + kPrefix + kOtchet + "\r\n";
  // ё (B8) is F1 in code page 866.
  const Bytes worked_list = "\x70\x69\x63\x2E\x7A\x69\x70\x20\x20\x8E\xE2\xE7\xF1\xE2\x0D\x0A";
  const std::vector<SceneFile> new_a = {Dir("new"), Log("new/a", " one")};
  const std::vector<Bytes> new_a_after = {"new/", "new/a", "new/{list}"};
  const std::vector<SceneFile> up_down = {Dir("new"), Log("up", " parent"), Log("new/down", " child")};
  const std::vector<Bytes> stayed = {"new/", "new/down", "new/{list}", "up", "up.log"};
  const std::vector<Bytes> moved_up = {"new/", "new/down", "new/down.log", "up", "{list}"};
  const std::vector<SceneFile> taken = {Dir("{list}"), Log("a", " x")};
  const std::vector<Bytes> taken_after = {"a", "a.log", "{list}/"};
  const Bytes report = "Exception EInOutError in module {program} at {offset}.\nFile access denied.\r\n";
  const std::vector<SceneFile> cyrillic = {Log(kReport.c_str(), " r"), Log(kPhoto.c_str(), " p"),
                                           Log(kPrice.c_str(), " n")};
  std::vector<SceneFile> cyrillic_bbs = cyrillic;
  cyrillic_bbs.insert(cyrillic_bbs.end(), {Dir("bin"), File("bin/to_bbs", "")});
  const Bytes price_line = FileNameBytes(kPrice) + "  n\r\n";
  const SceneStart any_order = {nullptr, "logharvest", nullptr, Output::kCaptured, true};
  // clang-format off
  return {
    // Which directory is harvested.
    {"WorkedExample", {File("pic.zip", "zip"), File("pic.zip.log", worked_log)}, {"{root}"},
     "{list}", worked_list, "", 0, {"pic.zip", "{list}"}},
    {"DirectoryWithoutTrailingSeparator", new_a, {"{root}new"}, "new/{list}", "a  one\r\n", "", 0, new_a_after},
    {"DirectoryWithTrailingSeparator", new_a, {"{root}new/"}, "new/{list}", "a  one\r\n", "", 0, new_a_after},
    {"FileNamesItsDirectory", new_a, {"{root}new/a"}, "new/{list}", "a  one\r\n", "", 0, new_a_after},
    {"SwitchMovesUpFromADirectory", up_down, {"{root}new", "-F"}, "{list}", "up  parent\r\n", "", 0, moved_up},
    {"SwitchInAnyCaseLaterArgumentsIgnored", up_down, {"{root}new", "-f", "ignored"},
     "{list}", "up  parent\r\n", "", 0, moved_up},
    {"SwitchStaysWithATrailingSeparator", up_down, {"{root}new/", "-F"}, "new/{list}", "down  child\r\n", "", 0, stayed},
    {"SwitchStaysWithAFile", up_down, {"{root}new/down", "-F"}, "new/{list}", "down  child\r\n", "", 0, stayed},
    {"SwitchDoubledIsIgnored", up_down, {"{root}new", "-FF"}, "new/{list}", "down  child\r\n", "", 0, stayed},
    {"SwitchWithSlashIsIgnored", up_down, {"{root}new", "/F"}, "new/{list}", "down  child\r\n", "", 0, stayed},
    {"MissingDirectoryPrintsOneLineAndCreatesNothing", {}, {"{root}nowhere", "-F"},
     nullptr, "", "Error: Directory [{root}nowhere] not found!\r\n", 0, {}},
    {"BareFileNameHasAnEmptyDirectoryPart", {Log("here", " current")}, {"here"},
     nullptr, "", "Error: Directory [] not found!\r\n", 0, {"here", "here.log"}, {nullptr, "logharvest", ""}},
    {"BareDirectoryNameWithSwitchHarvestsTheWorkingDirectory", {Dir("sub"), Log("here", " current")}, {"sub", "-F"},
     "{list}", "here  current\r\n", "", 0, {"here", "sub/", "{list}"}, {nullptr, "logharvest", ""}},
    {"NoArgumentHarvestsTheProgramsOwnDirectory", {Log("own", " beside")}, {},
     "{list}", "own  beside\r\n", "", 0, {"own", "{list}"}, {""}},
    // An empty argument is dropped and the later ones move down: it never
    // stands for the program's own directory.
    {"EmptyArgumentsAreDropped", {Dir("new"), Log("new/a", " one"), Log("own", " beside")}, {"", "{root}new", ""},
     "new/{list}", "a  one\r\n", "", 0, {"new/", "new/a", "new/{list}", "own", "own.log"}, {""}},
    {"DirectoryNamedLikeAnOptionIsReachedWithADirectoryPart", {Dir("--help"), Log("--help/a", " x")}, {"./--help"},
     "--help/{list}", "a  x\r\n", "", 0, {"--help/", "--help/a", "--help/{list}"}, {nullptr, "logharvest", ""}},
    // Which list: a marker beside the program, but not in the working
    // directory, nor a directory named like it, chooses the other list,
    // whose names are never quoted.
    {"MarkerElsewhereDoesNotCount",
     {Dir("bin"), Dir("area"), Log("area/a", " first"), File("area/to_bbs", ""), Dir("bin/to_bbs")}, {"{root}area"},
     "area/{list}", "a  first\r\n", "", 0, {"area/", "area/a", "area/to_bbs", "area/{list}", "bin/", "bin/to_bbs/"},
     {"bin/", "logharvest", "area/"}},
    {"MarkerBesideTheProgramChoosesTheBbsList",
     {Dir("bin"), Dir("area"), File("bin/to_bbs", ""), File("area/{list}", "a  first\r\n"),
      Log("area/my file.zip", " second")}, {"{root}area"},
     "area/{bbs}", "my file.zip  second\r\n", "", 0,
     {"area/", "area/my file.zip", "area/{bbs}", "area/{list}", "bin/", "bin/to_bbs"}, {"bin/"}},
    // The logs and the list.
    {"LogsWithoutCompanionOrCommentAndOddEntries",
     {File("lonely.txt.log", LogWithComment(" nobody")),                     // no companion: untouched
      File("quiet.txt", "q"), File("quiet.txt.log", "no comment here\r\n"),  // no line, deleted
      File("b", "b"), Dir("b.log"),                                          // a directory as log: error line, kept
      Dir("c"), File("c.log", LogWithComment(" dir")),                       // companion is a directory: untouched
      File(".log", LogWithComment(" short"))},                               // empty companion: untouched
     {"{root}"}, "{list}", "b         error reading file\r\n", "", 0,
     {".log", "b", "b.log/", "c/", "c.log", "lonely.txt.log", "quiet.txt", "{list}"}},
    {"NoLogsStillCreateTheList", {}, {"{root}"}, "{list}", "", "", 0, {"{list}"}},
    {"SeveralLogsGiveOneLineEachAndBlanksAreQuoted",
     {Log("one", " 1"), Log("two", " 2"), Log("my file.zip", " spaced"), File("mid", "m"), File("mid.log", "-\r\n")},
     {"{root}"}, "{list}", "one  1\r\ntwo  2\r\n\"my file.zip\"  spaced\r\n", "", 0,
     {"mid", "my file.zip", "one", "two", "{list}"}, {nullptr, "logharvest", nullptr, Output::kCaptured, true}},
    {"ExistingListIsCutAtItsMark", {File("{list}", "old entry\r\n\x1A")}, {"{root}"},
     "{list}", "old entry\r\n", "", 0, {"{list}"}},
    {"ExistingListGetsItsMissingLineEnd", {File("{list}", "old entry"), Log("n", " new")}, {"{root}"},
     "{list}", "old entry\r\nn  new\r\n", "", 0, {"n", "{list}"}},
    {"ExistingListAndLogsAreFoundWithoutRegardToCase",
     {File("DESCRIPT.ION", "x old\r\n"), File("PIC.ZIP", "z"), File("PIC.ZIP.LOG", LogWithComment(" upper")),
      File("Other.rar", "o"), File("Other.rar.Log", LogWithComment(" lower"))}, {"{root}"},
     "DESCRIPT.ION", "x old\r\nPIC.ZIP  upper\r\nOther.rar  lower\r\n", "", 0,
     {"DESCRIPT.ION", "Other.rar", "PIC.ZIP"}, {nullptr, "logharvest", nullptr, Output::kCaptured, true}},
    // Readers show the last line of a name: a comment harvested again gets
    // its line unless it is the latest one already, as after a crash.
    // A file harvested again keeps one line, its new comment: its older
    // lines go, and in a file area the continuation lines below them; the
    // header, blank lines and every other name's lines stay byte for byte.
    {"ACommentHarvestedAgainTakesThePlaceOfItsNamesOlderLines",
     {File("{list}", "a.zip  first\r\nb.zip  b\r\na.zip  second\r\n\"my file\"  old\r\n"), Log("a.zip", " first"),
      Log("my file", " new")}, {"{root}"},
     "{list}", "b.zip  b\r\na.zip  first\r\n\"my file\"  new\r\n", "", 0, {"a.zip", "my file", "{list}"},
     any_order},
    {"ACommentEqualToTheLatestLineOfItsNameGetsNoSecondLine",
     {File("{list}", "a.zip  second\r\nb.zip  b\r\na.zip  first\r\n"), Log("a.zip", " first")}, {"{root}"},
     "{list}", "b.zip  b\r\na.zip  first\r\n", "", 0, {"a.zip", "{list}"}},
    {"AFileAreaKeepsOneLinePerNameAndEveryOtherLine",
     {Dir("bin"), File("bin/to_bbs", ""),
      File("{bbs}", "; header\r\n\r\nnodes.zip  week 48\r\n   NODES\r\n\tonly\r\nother.zip  stays\r\n   its own\r\n"
                    "nodes.zip         error reading file\r\nlast.zip  x\r\n"),
      Log("nodes.zip", " week 49")}, {"{root}"},
     "{bbs}", "; header\r\n\r\nother.zip  stays\r\n   its own\r\nlast.zip  x\r\nnodes.zip  week 49\r\n", "", 0,
     {"bin/", "bin/to_bbs", "nodes.zip", "{bbs}"}, {"bin/"}},
    {"AnErrorLineIsNotWrittenAgainWhileItIsTheLatest",
     {File("{list}", "b         error reading file\r\n"), File("b", "b"), Dir("b.log")}, {"{root}"},
     "{list}", "b         error reading file\r\n", "", 0, {"b", "b.log/", "{list}"}},
    // Every letter code page 866 holds: Ё ё Ў ў Є є Ї ї № ° · ¤ and the
    // no-break space; 0x80 (Ђ) has no place there and passes as it is.
    {"EveryLetterCodePage866HoldsIsConverted",
     {Log("s.txt", " \xA8\xB8\xA1\xA2\xAA\xBA\xAF\xBF\xB9\xB0\xB7\xA4\xA0\x80")}, {"{root}"},
     "{list}", "s.txt  \xF0\xF1\xF6\xF7\xF2\xF3\xF4\xF5\xFC\xF8\xFA\xFD\xFF\x80\r\n", "", 0, {"s.txt", "{list}"}},
    // A list that begins with the UTF-8 byte order mark gets UTF-8 lines.
    {"AListInUtf8GetsItsLinesInUtf8",
     {File("{list}", "\xEF\xBB\xBFold.zip  \xD0\xA1\xD1\x82\xD0\xB0\xD1\x80\xD1\x8B\xD0\xB9\r\n"),
      Log("new.zip", " \xB8\xE6 \xB9\x31")}, {"{root}"},
     "{list}", "\xEF\xBB\xBFold.zip  \xD0\xA1\xD1\x82\xD0\xB0\xD1\x80\xD1\x8B\xD0\xB9\r\n"
               "new.zip  \xD1\x91\xD0\xB6 \xE2\x84\x96\x31\r\n", "", 0, {"new.zip", "{list}"}},
    {"AListThatIsTheByteOrderMarkAloneGetsNoEmptyLine",
     {File("{list}", "\xEF\xBB\xBF"), Log("new.zip", " \xB8")}, {"{root}"},
     "{list}", "\xEF\xBB\xBFnew.zip  \xD1\x91\r\n", "", 0, {"new.zip", "{list}"}},
    // Readers decode a whole line in code page 866: a name whose characters
    // it holds is written in it, in both lists (quoted for its blank in the
    // file managers' list), any other name as the file system's bytes. The
    // logs go under their own names.
    {"CyrillicNamesAreWrittenInCodePage866", cyrillic, {"{root}"},
     "{list}", "\"" + kReport866 + "\"  r\r\n" + kPhoto866 + "  p\r\n" + price_line, "", 0,
     {kPhoto, kPrice, kReport, "{list}"}, any_order},
    {"CyrillicNamesInTheBbsListAreNotQuoted", cyrillic_bbs, {"{root}"},
     "{bbs}", kReport866 + "  r\r\n" + kPhoto866 + "  p\r\n" + price_line, "", 0,
     {"bin/", "bin/to_bbs", kPhoto, kPrice, kReport, "{bbs}"}, {"bin/", "logharvest", nullptr, Output::kCaptured, true}},
    // A killed run left two lines whole and the start of a third: the whole
    // ones vouch for their logs, and the torn one gets only its rest.
    {"CyrillicLinesAKilledRunLeftAreNotWrittenAgain",
     {File("{list}", "old.zip  x\r\n\"" + kReport866 + "\"  r\r\n" + price_line + kPhoto866.substr(0, 3)),
      Log(kReport.c_str(), " r"), Log(kPhoto.c_str(), " p"), Log(kPrice.c_str(), " n")}, {"{root}"},
     "{list}", "old.zip  x\r\n\"" + kReport866 + "\"  r\r\n" + price_line + kPhoto866 + "  p\r\n", "", 0,
     {kPhoto, kPrice, kReport, "{list}"}},
    // A UTF-8 list gets every name in UTF-8.
    {"AListInUtf8GetsCyrillicNamesInUtf8",
     {File("{list}", "\xEF\xBB\xBFold.zip  x\r\n"), Log(kReport.c_str(), " r"), Log(kPrice.c_str(), " n")},
     {"{root}"}, "{list}", "\xEF\xBB\xBFold.zip  x\r\n\"" + kReport + "\"  r\r\n" + kPrice + "  n\r\n", "", 0,
     {kPrice, kReport, "{list}"}, any_order},
    // How failed runs end: the report names the program file, the list is
    // not made and the log stays; output that cannot be written: code 1.
    {"ListNameTakenByADirectoryIsReported", taken, {"{root}"}, nullptr, "", report, 1, taken_after},
    {"ReportNamesTheProgramFile", taken, {"{root}"}, nullptr, "", report, 1, taken_after, {"", "harvest-copy"}},
    {"ClosedOutputEndsTheMissingDirectoryCaseWithCode1", {}, {"{root}nowhere"}, nullptr, "", "", 1, {},
     {nullptr, "logharvest", nullptr, Output::kClosed}},
    {"UnwritableOutputEndsTheMissingDirectoryCaseWithCode1", {}, {"{root}nowhere"}, nullptr, "", "", 1, {},
     {nullptr, "logharvest", nullptr, Output::kDevFull}},
  };
  // clang-format on
}

void ReplaceAll(Bytes& text, ByteView from, ByteView to) {
  for (std::size_t at = text.find(from); at != Bytes::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

Bytes RegexEscape(ByteView text) {
  Bytes escaped;
  for (const char c : text) {
    if (Bytes("\\^$.|?*+()[]{}").find(c) != Bytes::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// The lines of a list, sorted.
std::vector<Bytes> SortedLines(const Bytes& list) {
  std::vector<Bytes> lines;
  std::istringstream in(list);
  for (Bytes line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Every entry below directory, sorted, relative to it with "/" between
// names; a directory's ends in "/". Names come in UTF-8 on every build
// (on Windows, libstdc++ converts the system's UTF-16 names so).
std::vector<Bytes> ListTree(const Bytes& directory) {
  std::vector<Bytes> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    const Bytes path = entry.path().lexically_relative(directory).generic_string();
    entries.push_back(entry.is_directory() ? path + "/" : path);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The text with each "{name:NAME}" replaced by NAME as the build's file
// system holds it.
Bytes WithFileNames(Bytes text) {
  const ByteView open = "{name:";
  for (std::size_t at = text.find(open); at != Bytes::npos; at = text.find(open, at)) {
    const std::size_t close = text.find('}', at);
    const Bytes name = FileNameFromUtf8(ByteView(text).substr(at + open.size(), close - at - open.size()));
    text.replace(at, close + 1 - at, name);
    at += name.size();
  }
  return text;
}

// Lays out the scene in a fresh scratch directory, runs the program and
// checks everything the scene expects.
void RunScene(const Scene& scene, const Build& build) {
  const TempDir scratch;
  const Bytes& root = scratch.Path();
  const char separator = root.back();
  const auto names = [&](Bytes path) {
    ReplaceAll(path, "{list}", build.list_name);
    ReplaceAll(path, "{bbs}", build.bbs_name);
    return path;
  };
  const auto native = [&](const Bytes& path) {
    Bytes result = names(path);
    std::replace(result.begin(), result.end(), '/', separator);
    return root + FileNameFromUtf8(result);
  };
  for (const SceneFile& file : scene.before) {
    if (file.kind == SceneFile::kDirectory) {
      MakeDirectory(native(file.path));
    } else if (file.kind == SceneFile::kFile) {
      WriteBytes(native(file.path), WithFileNames(file.content));
    } else {
      WriteBytes(native(file.path), "data");
      WriteBytes(native(file.path) + ".log", LogWithComment(file.content));
    }
  }
  Bytes program = build.program;
  Bytes copy;  // relative to the scratch directory
  if (scene.start.copy_to != nullptr) {
    copy = Bytes(scene.start.copy_to) + scene.start.copy_name + build.executable_suffix;
    program = CopyProgram(build.program, native(scene.start.copy_to), scene.start.copy_name + build.executable_suffix);
  }
  std::vector<Bytes> arguments;
  for (Bytes argument : scene.arguments) {
    if (argument.rfind("{root}", 0) == 0 || argument.rfind("./", 0) == 0) {
      std::replace(argument.begin(), argument.end(), '/', separator);
      ReplaceAll(argument, "{root}", root);
    }
    arguments.push_back(argument);
  }
  RunOptions options;
  if (scene.start.cwd != nullptr) options.cwd = native(scene.start.cwd);
  options.output = scene.start.output_to;
  const RunResult result = RunProgram(program, arguments, options);

  EXPECT_EQ(result.exit_code, scene.exit_code);
  EXPECT_EQ(result.err, "");
  Bytes output = RegexEscape(scene.output);
  ReplaceAll(output, RegexEscape("{root}"), RegexEscape(root));
  ReplaceAll(output, RegexEscape("{program}"), RegexEscape(program.substr(program.find_last_of(separator) + 1)));
  ReplaceAll(output, RegexEscape("{offset}"), "[0-9A-F]{8}");
  EXPECT_TRUE(std::regex_match(result.out, std::regex(output))) << "output: [" << result.out << "]";
  EXPECT_EQ(result.out.find(" at 00000000."), Bytes::npos);
  if (scene.list != nullptr) {
    const Bytes list = ReadBytes(native(scene.list));
    const Bytes expected = WithFileNames(scene.list_bytes);
    if (scene.start.any_order) {
      EXPECT_EQ(SortedLines(list), SortedLines(expected)) << list;
    } else {
      EXPECT_EQ(list, expected);
    }
  }
  std::vector<Bytes> after = ListTree(root);
  after.erase(std::remove(after.begin(), after.end(), copy), after.end());
  std::vector<Bytes> expected;
  for (const Bytes& path : scene.after) expected.push_back(names(path));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(after, expected);
}

class SharedScene : public ::testing::TestWithParam<Scene> {};

TEST_P(SharedScene, Runs) { RunScene(GetParam(), ThisBuild()); }

INSTANTIATE_TEST_SUITE_P(EndToEnd, SharedScene, ::testing::ValuesIn(MakeScenes()),
                         [](const ::testing::TestParamInfo<Scene>& scene) { return Bytes(scene.param.name); });

}  // namespace

void ExpectReport(const RunResult& result, const Bytes& module, const Bytes& message) {
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "");
  const std::regex pattern("Exception EInOutError in module " + module + " at [0-9A-F]{8}\\.\n" + message + "\r\n");
  EXPECT_TRUE(std::regex_match(result.out, pattern)) << "output: [" << result.out << "]";
  EXPECT_EQ(result.out.find(" at 00000000."), Bytes::npos);
}
