#include "failure/report.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "common/exception.h"
#include "common/io_result.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "textfile/line_file.h"

namespace {

void WriteDirect(ByteView bytes) {
  std::size_t done = 0;
  Os().Write(Os().StandardOutput(), bytes.data(), bytes.size(), &done);
}

// The offset of address from the start of the program's image in memory.
std::uint32_t ImageOffset(const void* address) {
  if (address == nullptr) return 0;
  const void* base = Os().ImageBase(address);
  if (base == nullptr) return 0;
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(base));
}

[[noreturn]] void EndWithReport(ByteView class_name, ByteView message, const void* address) {
  FlushLineFile(StandardOutputFile());
  TakeIoResult();
  const Bytes module_name = NamePart(Os().ProgramPath());
  WriteDirect(FormatFatalReport(class_name, module_name, ImageOffset(address), message));
  WriteDirect("\r\n");
  CloseLineFile(StandardOutputFile());
  TakeIoResult();
  Os().Exit(1);
  std::abort();  // not reached: Exit does not return
}

// For failures the program does not raise itself the position reported is
// that of the handler, the only one known.
__attribute__((noinline)) const void* HandlerPosition() {
  return __builtin_extract_return_addr(__builtin_return_address(0));
}

}  // namespace

Bytes FormatFatalReport(ByteView class_name, ByteView module_name, std::uint32_t offset, ByteView message) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(offset));
  Bytes report = "Exception ";
  report.append(class_name).append(" in module ").append(module_name).append(" at ").append(hex);
  report.append(".\n").append(message);
  if (!message.empty() && message.back() != '.') report += '.';
  return report;
}

void RunUnderHandler(void (*run)()) {
  try {
    run();
    return;
  } catch (const Exception& failure) {
    EndWithReport(failure.ClassName(), failure.Message(), failure.Address());
  } catch (const std::bad_alloc&) {
    EndWithReport("EOutOfMemory", "Out of memory", HandlerPosition());
  } catch (const std::exception& failure) {
    EndWithReport("Exception", failure.what(), HandlerPosition());
  } catch (...) {
    EndWithReport("Exception", "", HandlerPosition());
  }
}
