// SPDX-License-Identifier: MIT
//
// fuzz_huffman_decode.cpp - HuffmanDecode on a raw, hostile container.
//
// Most of the engine's failure paths live here: truncated headers and code
// tables, negative entry counts, codes that are not prefix-free or overflow
// the tree, data bits that leave it, plain lengths far past the data.
//
// Input layout: ReadContainerInput in testing/fuzz_input.h (abort pause, flags, an
// optional length of its own, the container).
// Checks: only documented error numbers; an abort gives the container back
// untouched; a Huffman-coded result never outgrows its data bits; LastError
// only becomes 5; the engine stays usable.

#include <cstdint>
#include <string>

#include "engine/internal.h"
#include "fuzz/fuzz_support.h"

using namespace trirotor;
using namespace trirotor::internal;
using namespace trirotor::fuzz;

namespace {

thread_local int pauses = 0;
thread_local int abortAtPause = -1;

void OnPause() {
  if (pauses++ == abortAtPause) AbortFlag = -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzSupport();
  return 0;
}

namespace {

bool RunInput(const std::uint8_t* data, std::size_t size) {
  const ContainerInput input = ReadContainerInput(data, size);
  const ByteBuffer& container = input.container;
  const std::int32_t length = input.length;

  platform::SetEventHook(&OnPause);
  pauses = 0;
  abortAtPause = input.abortAtPause;
  LastError = 0;
  Progress = 0;
  AbortFlag = 0;

  ByteBuffer buffer = container;
  bool returned = false;
  bool slow = false;
  {
    ResourceBudget budget(size);
    returned = RunGuarded([&] { HuffmanDecode(buffer, length); }, "HuffmanDecode");
    slow = budget.Check("HuffmanDecode");
  }

  if (LastError != 0 && LastError != kErrChecksum) Fail("LastError holds " + std::to_string(LastError));
  if (Progress < 0 || Progress > 100) Fail("Progress outside 0..100");
  if (returned) {
    if (AbortFlag == -1 && buffer != container) Fail("an aborted decode changed the container");
    // Each plain byte takes at least one data bit.
    if (buffer.size() > container.size() * 8) Fail("the plain bytes outgrew the container's bits");
    const bool stored = container.size() >= 4 && container[0] == 'H' && container[1] == 'E' && container[2] == '0' &&
                        container[3] == '\r';
    if (stored && length == static_cast<std::int32_t>(container.size())) {
      if (pauses != 0) Fail("a stored container paused");
      if (!std::equal(buffer.begin(), buffer.end(), container.begin() + 4, container.end()) ||
          buffer.size() != container.size() - 4) {
        Fail("a stored container did not give its bytes");
      }
    }
  }

  platform::SetEventHook(nullptr);
  RequireEngineUsable(returned ? "a container" : "a raised error");
  return slow;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOneInput(&RunInput, data, size);
  return 0;
}
