// SPDX-License-Identifier: MIT
//
// module.cpp - trirotor._core, the engine for Python.
//
// Each call converts its arguments, sets the code page for the calling
// thread, lets go of the interpreter lock while the engine works and takes it
// back only at the engine's pauses, to run the caller's progress callback and
// the interpreter's signal handlers (so Ctrl-C stops a long decode at its next
// pause). Failures come back as the package's own exceptions, defined in
// trirotor/_errors.py.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/recover/recover.h"
#include "cli/status.h"
#include "engine/trirotor.h"
#include "records/records.h"
#include "support/utf8.h"

namespace py = pybind11;

namespace trirotor::python {
namespace {

/// Exceptions ///

py::object ErrorClass(const char* name) { return py::module_::import("trirotor._errors").attr(name); }

[[noreturn]] void Raise(py::object error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

/// Text ///

std::u16string ToWide(const py::handle& text, const char* what) {
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string(what) + " must be str, not " +
                         std::string(py::str(py::type::handle_of(text).attr("__name__"))));
  }
  // Lone surrogates pass through as they are: the engine sees UTF-16 units.
  py::object bytes =
      py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-16-le", "surrogatepass"));
  if (!bytes) throw py::error_already_set();
  const char* data = PyBytes_AS_STRING(bytes.ptr());
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()));
  std::u16string wide(size / 2, u'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                    (static_cast<unsigned char>(data[2 * i + 1]) << 8));
  }
  return wide;
}

py::str FromWide(std::u16string_view wide) {
  PyObject* text = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(wide.data()),
                                         static_cast<Py_ssize_t>(wide.size() * 2), "surrogatepass", nullptr);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

/// Code page ///

// The one place a code page given by the caller becomes a number: an int, or
// a name as the library reads it ("1251", "cp1251", "windows-1251",
// "ISO-8859-2", "KOI8-R", any case).
int CodePageNumber(const py::handle& page) {
  if (PyBool_Check(page.ptr())) throw py::type_error("codepage must be int or str, not bool");
  if (PyLong_Check(page.ptr())) {
    const long number = PyLong_AsLong(page.ptr());
    if (number == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      throw py::value_error("unknown code page " + std::string(py::str(page)));
    }
    if (number <= 0 || number > 65535) throw py::value_error("unknown code page " + std::to_string(number));
    return static_cast<int>(number);
  }
  if (!PyUnicode_Check(page.ptr())) {
    throw py::type_error("codepage must be int or str, not " +
                         std::string(py::str(py::type::handle_of(page).attr("__name__"))));
  }
  const std::string given = page.cast<std::string>();
  const std::optional<int> number = platform::ParseCodePageName(given);
  if (!number) throw py::value_error("unknown code page '" + given + "'");
  return *number;
}

// The width of the base64 lines: a whole number from 0 (one line) up; any
// width past the message's length gives one line too.
int WrapWidth(const py::handle& wrap) {
  if (PyBool_Check(wrap.ptr()) || !PyLong_Check(wrap.ptr())) {
    throw py::type_error("wrap must be int, not " + std::string(py::str(py::type::handle_of(wrap).attr("__name__"))));
  }
  int overflow = 0;
  const long long width = PyLong_AsLongLongAndOverflow(wrap.ptr(), &overflow);
  if (overflow == 0 && width == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || width < 0 || width > std::numeric_limits<int>::max()) {
    throw py::value_error("wrap must be a whole number from 0 (one line) to " +
                          std::to_string(std::numeric_limits<int>::max()) + ", not " +
                          (overflow > 0   ? std::string("a number past 2**63")
                           : overflow < 0 ? std::string("a number below -2**63")
                                          : std::to_string(width)));
  }
  return static_cast<int>(width);
}

// The engine's code page is this thread's own: a call sets it for itself.
void UseCodePage(int codePage) {
  if (platform::CodePage() != codePage) platform::SetCodePage(codePage);
}

// Validates the page while the interpreter lock is still held.
int CheckedCodePage(const py::handle& page) {
  const int number = CodePageNumber(page);
  if (platform::IsCodePageSupported(number)) return number;
  try {
    platform::SetCodePage(number);  // fails, leaving the page as it was, and says why
  } catch (const std::invalid_argument& error) {
    throw py::value_error(error.what());
  }
  throw py::value_error("unknown code page " + std::to_string(number));
}

/// The engine's pauses ///

// The interpreter's main thread, the only one that runs signal handlers.
unsigned long mainThread = 0;

// How often a call without a progress callback takes the interpreter lock
// to look for Ctrl-C. Taking it at every pause (every 5,000 bytes) would
// make the call wait for any other busy Python thread each time.
constexpr std::chrono::milliseconds kSignalCheckEvery{50};

// How often the pause hook has taken the interpreter lock, for the tests.
std::atomic<std::uint64_t> lockTakes{0};

struct Call {
  explicit Call(py::handle callback) : progress(callback), checkSignals(PyThread_get_thread_ident() == mainThread) {}
  py::handle progress;  // None or a callable
  bool checkSignals;    // on the main thread: Ctrl-C stops the call
  bool abortedByProgress = false;
  // The first pause looks at once; later ones once this time has come.
  std::chrono::steady_clock::time_point nextSignalCheck{};
  std::optional<py::error_already_set> error;  // from the callback or a signal handler
};

thread_local Call* currentCall = nullptr;

void OnPause() {
  Call* call = currentCall;
  if (call == nullptr || AbortFlag == -1) return;
  const bool hasProgress = !call->progress.is_none();
  if (!hasProgress) {
    // Only Ctrl-C to look for: read the clock, not the lock.
    if (!call->checkSignals) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < call->nextSignalCheck) return;
    call->nextSignalCheck = now + kSignalCheckEvery;
  }
  py::gil_scoped_acquire gil;
  lockTakes.fetch_add(1, std::memory_order_relaxed);
  if (call->checkSignals && PyErr_CheckSignals() != 0) {  // KeyboardInterrupt, on the main thread
    call->error.emplace();
    AbortFlag = -1;
    return;
  }
  if (!hasProgress) return;
  try {
    py::object answer = call->progress(static_cast<int>(Progress));
    if (answer.ptr() == Py_False) {
      call->abortedByProgress = true;
      AbortFlag = -1;
    }
  } catch (py::error_already_set& error) {
    call->error.emplace(std::move(error));
    AbortFlag = -1;
  }
}

// Runs `work` with the interpreter lock released and this thread's event hook
// pointing at OnPause; turns what the call ended in into exceptions.
template <typename Work>
void RunEngine(Call& call, Work work) {
  std::optional<EngineError> engineError;
  {
    py::gil_scoped_release release;
    const platform::EventHook previous = platform::GetEventHook();
    platform::SetEventHook(OnPause);
    currentCall = &call;
    try {
      work();
    } catch (const EngineError& error) {
      engineError = error;
    } catch (...) {
      currentCall = nullptr;
      platform::SetEventHook(previous);
      throw;
    }
    currentCall = nullptr;
    platform::SetEventHook(previous);
  }
  if (call.error) {
    py::error_already_set error = std::move(*call.error);
    call.error.reset();
    throw error;
  }
  if (call.abortedByProgress) Raise(ErrorClass("Aborted")());
  if (engineError) {
    Raise(ErrorClass("EngineError")(engineError->number(), engineError->source(), engineError->description()));
  }
}

// One decode on this thread's engine, under the page: its outcome, and the
// warnings for the key's characters that the page does not hold exactly.
template <typename TryDecode>
DecodeOutcome DecodeOnce(Call& call, int page, const std::u16string& key, const std::u16string& suffix,
                         std::vector<std::string>& warnings, TryDecode tryDecode) {
  DecodeOutcome outcome;
  RunEngine(call, [&] {
    UseCodePage(page);
    warnings = platform::KeyConversionWarnings(key, suffix);
    outcome = tryDecode();
  });
  return outcome;
}

// decode() and decode_bytes() raise EngineError for what the engine raised,
// before any key warning.
void RaiseIfEngineError(const DecodeOutcome& outcome) {
  if (outcome.status != DecodeStatus::kEngineError) return;
  Raise(ErrorClass("EngineError")(outcome.error, outcome.source, outcome.description));
}

// Raises FrameError, or ChecksumError when strict, after a decode.
void CheckOutcome(DecodeStatus status, bool strict, const py::object& result) {
  if (status == DecodeStatus::kFrameFailed) Raise(ErrorClass("FrameError")());
  if (status == DecodeStatus::kChecksumMismatch && strict) Raise(ErrorClass("ChecksumError")(result));
}

// Sealing: why the first character of the texts that the page cannot hold
// exactly is refused (it would come back as '?' or as Windows' look-alike),
// or "" when the page holds them all. A text's character is placed by line
// and column, a key's by its place in the key. Worded while the page is set.
using Texts = std::initializer_list<std::pair<std::u16string_view, std::string_view>>;

std::string RefusalToSeal(Texts texts) {
  for (const auto& [text, what] : texts) {
    if (const auto found = platform::FindUnrepresentableCharacter(text, what)) {
      return platform::RefusalToSeal(*found, !what.empty());
    }
  }
  return {};
}

// Decoding takes such key and suffix characters as Windows' look-alike, or as
// '?' (messages sealed that way must still open): one warning per character.
void WarnKeyConversion(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  py::object warning = ErrorClass("KeyCharacterWarning");
  for (const std::string& line : lines) {
    if (PyErr_WarnEx(warning.ptr(), line.c_str(), 2) != 0) throw py::error_already_set();
  }
}

py::object Decode(const py::handle& message, const py::handle& key, const py::handle& suffix,
                  const py::handle& codepage, const py::handle& progress, bool strict, bool warn) {
  const std::u16string wideMessage = ToWide(message, "message");
  const std::u16string wideKey = ToWide(key, "key");
  const std::u16string wideSuffix = ToWide(suffix, "suffix");
  const int page = CheckedCodePage(codepage);
  Call call(progress);
  std::vector<std::string> warnings;
  const DecodeOutcome outcome = DecodeOnce(call, page, wideKey, wideSuffix, warnings,
                                           [&] { return TryDecodeText(wideMessage, wideKey, wideSuffix); });
  RaiseIfEngineError(outcome);
  if (warn) WarnKeyConversion(warnings);
  py::str text = FromWide(outcome.text);
  CheckOutcome(outcome.status, strict, text);
  return text;
}

py::object DecodeBytesCall(const py::handle& message, const py::handle& key, const py::handle& suffix,
                           const py::handle& codepage, const py::handle& progress, bool strict) {
  Py_buffer view;
  if (PyObject_GetBuffer(message.ptr(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    throw py::type_error("message must be a bytes-like object, not " +
                         std::string(py::str(py::type::handle_of(message).attr("__name__"))));
  }
  ByteBuffer bytes(static_cast<const std::uint8_t*>(view.buf), static_cast<const std::uint8_t*>(view.buf) + view.len);
  PyBuffer_Release(&view);
  const std::u16string wideKey = ToWide(key, "key");
  const std::u16string wideSuffix = ToWide(suffix, "suffix");
  const int page = CheckedCodePage(codepage);
  Call call(progress);
  std::vector<std::string> warnings;
  const DecodeOutcome outcome = DecodeOnce(call, page, wideKey, wideSuffix, warnings,
                                           [&] { return TryDecodeBytes(std::move(bytes), wideKey, wideSuffix); });
  RaiseIfEngineError(outcome);
  WarnKeyConversion(warnings);
  py::bytes result(reinterpret_cast<const char*>(outcome.plain.data()), outcome.plain.size());
  CheckOutcome(outcome.status, strict, result);
  return result;
}

// try_decode(): the outcome itself, for a caller that sorts messages rather
// than stops at the first that fails: (status, text, error, description),
// with text None unless the decode gave one, and bytes for a bytes message.
// Only what is not the message's doing raises: Aborted, a progress
// callback's exception, an unknown code page.
py::tuple TryDecodeCall(const py::handle& message, const py::handle& key, const py::handle& suffix,
                        const py::handle& codepage, const py::handle& progress) {
  const bool asBytes = PyObject_CheckBuffer(message.ptr()) != 0;
  ByteBuffer bytes;
  std::u16string wideMessage;
  if (asBytes) {
    Py_buffer view;
    if (PyObject_GetBuffer(message.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    bytes.assign(static_cast<const std::uint8_t*>(view.buf), static_cast<const std::uint8_t*>(view.buf) + view.len);
    PyBuffer_Release(&view);
  } else {
    wideMessage = ToWide(message, "message");
  }
  const std::u16string wideKey = ToWide(key, "key");
  const std::u16string wideSuffix = ToWide(suffix, "suffix");
  const int page = CheckedCodePage(codepage);
  Call call(progress);
  std::vector<std::string> warnings;
  const DecodeOutcome outcome = DecodeOnce(call, page, wideKey, wideSuffix, warnings, [&] {
    return asBytes ? TryDecodeBytes(std::move(bytes), wideKey, wideSuffix)
                   : TryDecodeText(wideMessage, wideKey, wideSuffix);
  });
  WarnKeyConversion(warnings);
  py::object text = py::none();
  if (outcome.HasText()) {
    text = asBytes ? py::object(py::bytes(reinterpret_cast<const char*>(outcome.plain.data()), outcome.plain.size()))
                   : py::object(FromWide(outcome.text));
  }
  return py::make_tuple(std::string(DecodeStatusName(outcome.status)), text, outcome.error, outcome.description);
}

py::object Encode(const py::handle& text, const py::handle& key, const py::handle& suffix, const py::handle& codepage,
                  const py::handle& wrapWidth) {
  const int wrap = WrapWidth(wrapWidth);
  const std::u16string wideText = ToWide(text, "text");
  const std::u16string wideKey = ToWide(key, "key");
  const std::u16string wideSuffix = ToWide(suffix, "suffix");
  const int page = CheckedCodePage(codepage);
  Call call{py::none()};
  std::u16string sealed;
  std::string refusal;
  RunEngine(call, [&] {
    UseCodePage(page);
    refusal = RefusalToSeal({{wideText, ""}, {wideKey, "the key"}, {wideSuffix, "the key suffix"}});
    if (refusal.empty()) sealed = EncodeText(wideText, wideKey, wideSuffix, wrap);
  });
  if (!refusal.empty()) throw py::value_error(refusal);
  return FromWide(sealed);
}

/// Batch records ///

// Lines answered by the tool's own record answerer, so that a record
// answered here and by `trirotor decode --jsonl` gives the same line.

// What a batch call was asked, checked while the interpreter lock is held.
struct BatchRequest {
  records::Mode mode = records::Mode::kDecode;
  records::KeyPair defaults;
  int wrap = 0;
  int page = 1252;
};

BatchRequest CheckBatchRequest(const std::string& mode, const py::handle& key, const py::handle& suffix,
                               const py::handle& codepage, const py::handle& wrap) {
  if (mode != "decode" && mode != "encode") throw py::value_error("mode must be 'decode' or 'encode'");
  BatchRequest request;
  request.mode = mode == "decode" ? records::Mode::kDecode : records::Mode::kEncode;
  request.wrap = WrapWidth(wrap);
  if (!key.is_none()) request.defaults.key = ToWide(key, "key");
  if (request.defaults.key && request.defaults.key->empty()) throw py::value_error("the key is empty");
  if (!suffix.is_none()) request.defaults.suffix = ToWide(suffix, "suffix");
  request.page = CheckedCodePage(codepage);
  return request;
}

// Runs `answerAll(answerer, call)` with the interpreter lock released and the
// request's code page set for this thread; it stops once `call.error` is set
// (Ctrl-C on the main thread), which then comes out as the exception.
template <typename AnswerAll>
void RunBatch(const BatchRequest& request, AnswerAll answerAll) {
  std::string refusal;
  Call call{py::none()};
  RunEngine(call, [&] {
    UseCodePage(request.page);
    if (request.mode == records::Mode::kEncode) {
      // A default key the page cannot hold would seal every record with '?'
      // or with look-alikes.
      refusal = RefusalToSeal({{request.defaults.key ? *request.defaults.key : std::u16string_view(), "the key"},
                               {request.defaults.suffix, "the key suffix"}});
      if (!refusal.empty()) return;
    }
    records::RecordAnswerer answerer(request.mode, request.defaults, request.wrap);
    answerAll(answerer, static_cast<const Call&>(call));
  });
  if (!refusal.empty()) throw py::value_error(refusal);
}

// One line (without its "\n") answered onto the end of `out`, as the tool
// answers it: a line longer than it keeps gets an error record.
records::LineOutcome AnswerOne(records::RecordAnswerer& answerer, std::string_view line, std::uint64_t number,
                               std::string& out) {
  return line.size() > records::kMaxRecordBytes ? answerer.AnswerTooLong(number, out)
                                                : answerer.Answer(line, number, out);
}

// A list of lines (str or bytes) to a list of output lines (str). The lines
// are copied out first, then answered all at once.
py::list AnswerLines(const std::string& mode, const py::list& lines, const py::handle& key, const py::handle& suffix,
                     const py::handle& codepage, const py::handle& wrap, std::uint64_t first) {
  const BatchRequest request = CheckBatchRequest(mode, key, suffix, codepage, wrap);
  std::vector<std::string> in;
  in.reserve(lines.size());
  for (const py::handle line : lines) {
    std::string text;
    if (PyBytes_Check(line.ptr())) {
      text.assign(PyBytes_AS_STRING(line.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(line.ptr())));
    } else if (PyUnicode_Check(line.ptr())) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(line.ptr(), &size)) {
        text.assign(utf8, static_cast<std::size_t>(size));
      } else {  // a lone surrogate: its bytes go on, and the line is not UTF-8
        PyErr_Clear();
        py::object bytes =
            py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(line.ptr(), "utf-8", "surrogatepass"));
        if (!bytes) throw py::error_already_set();
        text.assign(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
      }
    } else {
      throw py::type_error("lines must be str or bytes, not " +
                           std::string(py::str(py::type::handle_of(line).attr("__name__"))));
    }
    if (!text.empty() && text.back() == '\n') text.pop_back();
    in.push_back(std::move(text));
  }

  std::vector<std::optional<std::string>> out(in.size());
  RunBatch(request, [&](records::RecordAnswerer& answerer, const Call& call) {
    std::string answer;
    for (std::size_t i = 0; i < in.size() && !call.error; ++i) {
      answer.clear();
      if (AnswerOne(answerer, in[i], first + i, answer) == records::LineOutcome::kBlank) continue;
      if (!answer.empty() && answer.back() == '\n') answer.pop_back();
      out[i] = std::move(answer);
      answer = std::string();
    }
  });
  py::list result;
  for (const auto& line : out) {
    if (!line) continue;
    PyObject* text = PyUnicode_DecodeUTF8(line->data(), static_cast<Py_ssize_t>(line->size()), "replace");
    if (text == nullptr) throw py::error_already_set();
    result.append(py::reinterpret_steal<py::object>(text));
  }
  return result;
}

// The bytes of a block: bytes, bytearray or a contiguous memoryview of bytes.
std::string_view BlockBytes(const py::buffer_info& view) {
  if (view.ndim != 1 || view.itemsize != 1 || view.strides[0] != 1) {
    throw py::type_error("the block must be bytes or a contiguous buffer of bytes");
  }
  return {static_cast<const char*>(view.ptr), static_cast<std::size_t>(view.size)};
}

// Lines are cut where the tool cuts them: at each "\n"; a last line without
// one counts when it holds anything.
std::uint64_t CountLines(std::string_view block) {
  const auto breaks = static_cast<std::uint64_t>(std::count(block.begin(), block.end(), '\n'));
  return breaks + (!block.empty() && block.back() != '\n' ? 1 : 0);
}

// A block of JSON lines, as bytes, to the block of output lines (each ending
// in "\n") and the number of lines the block held: no Python object per
// record, and the interpreter lock is released for the whole block. The
// block is read where it lies; its buffer stays held until the call returns.
py::tuple AnswerBlock(const std::string& mode, const py::buffer& block, const py::handle& key, const py::handle& suffix,
                      const py::handle& codepage, const py::handle& wrap, std::uint64_t first) {
  const BatchRequest request = CheckBatchRequest(mode, key, suffix, codepage, wrap);
  const py::buffer_info view = block.request();
  const std::string_view data = BlockBytes(view);
  std::string out;
  std::uint64_t lines = 0;
  RunBatch(request, [&](records::RecordAnswerer& answerer, const Call& call) {
    std::string_view rest = data;
    while (!rest.empty() && !call.error) {
      const std::size_t end = rest.find('\n');
      AnswerOne(answerer, rest.substr(0, end), first + lines, out);
      ++lines;
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  });
  return py::make_tuple(py::bytes(out), lines);
}


/// Key search ///

// One recover call: the stop its workers read, set on the calling thread
// from the search's progress hook, which also runs the caller's callback
// and the interpreter's signal handlers (every 50 ms, with the lock taken
// only then).
struct RecoverCall {
  explicit RecoverCall(py::handle callback)
      : progress(callback), checkSignals(PyThread_get_thread_ident() == mainThread) {}
  std::atomic<bool> stop{false};
  py::handle progress;
  bool checkSignals;
  bool abortedByProgress = false;
  std::optional<py::error_already_set> error;
  std::optional<cli::RecoverFound> found;

  void OnProgress(const cli::RecoverProgress& p) {
    // Not once the workers are winding down, nor for the report after the
    // search has ended: a False or an exception there would turn a search
    // that ran to its end into a stopped one.
    if (stop || p.last) return;
    py::gil_scoped_acquire gil;
    lockTakes.fetch_add(1, std::memory_order_relaxed);
    if (checkSignals && PyErr_CheckSignals() != 0) {  // KeyboardInterrupt, on the main thread
      error.emplace();
      stop = true;
      return;
    }
    if (progress.is_none()) return;
    try {
      py::object total = p.total ? py::object(py::int_(*p.total)) : py::object(py::none());
      py::object answer = progress(p.tried, total, p.perSecond);
      if (answer.ptr() == Py_False) {
        abortedByProgress = true;
        stop = true;
      }
    } catch (py::error_already_set& e) {
      error.emplace(std::move(e));
      stop = true;
    }
  }
};

std::optional<std::string> OptionalText(const py::dict& options, const char* name) {
  if (!options.contains(name) || options[name].is_none()) return std::nullopt;
  return options[name].cast<std::string>();
}

std::optional<std::uint64_t> OptionalCount(const py::dict& options, const char* name) {
  if (!options.contains(name) || options[name].is_none()) return std::nullopt;
  return options[name].cast<std::uint64_t>();
}

// The search's options from the package's checked keywords.
cli::RecoverOptions RecoverOptionsOf(const py::bytes& message, const py::dict& o) {
  cli::RecoverOptions options;
  options.messageBytes = std::string(message);
  options.keepSession = false;
  options.wordlist = OptionalText(o, "wordlist");
  options.rules = OptionalText(o, "rules");
  options.mask = OptionalText(o, "mask");
  options.appendMask = OptionalText(o, "append_mask");
  options.prependMask = OptionalText(o, "prepend_mask");
  options.suffixWordlist = OptionalText(o, "suffix_wordlist");
  options.suffixMask = OptionalText(o, "suffix_mask");
  if (o.contains("custom_charsets") && !o["custom_charsets"].is_none()) {
    const py::list sets = o["custom_charsets"];
    for (std::size_t k = 0; k < 4 && k < sets.size(); ++k) {
      if (!sets[k].is_none()) options.custom[k] = sets[k].cast<std::string>();
    }
  }
  options.increment = o.contains("increment") && o["increment"].cast<bool>();
  if (const std::optional<std::string> suffix = OptionalText(o, "suffix")) {
    options.fixedSuffix = [suffix](const std::string&, const std::optional<std::string>&) { return suffix; };
  }
  if (const std::optional<std::string> pages = OptionalText(o, "codepages")) options.codePages = *pages;
  options.skip = OptionalCount(o, "skip");
  options.limit = OptionalCount(o, "limit");
  options.jobs = static_cast<unsigned>(OptionalCount(o, "threads").value_or(0));
  return options;
}

// The key or suffix found as text: UTF-8 as typed, else its bytes under the
// code page that opened the message.
py::str FoundText(const std::string& bytes, int codePage) {
  std::u16string text;
  std::size_t bad = 0;
  if (!support::DecodeUtf8(bytes, text, bad)) {
    platform::SetCodePage(codePage);
    text = platform::BytesToText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  return FromWide(text);
}

// Runs the search with the interpreter lock released; raises what it ended in.
cli::RecoverResult RunRecover(const cli::RecoverOptions& options, RecoverCall& call) {
  cli::RecoverHooks hooks;
  hooks.stop = [&call] { return call.stop.load(std::memory_order_relaxed); };
  hooks.progress = [&call](const cli::RecoverProgress& p) { call.OnProgress(p); };
  hooks.deliver = [&call](const cli::RecoverFound& found) {
    call.found = found;
    return std::string();
  };
  std::optional<cli::Failure> failure;
  std::optional<EngineError> engineError;
  cli::RecoverResult result;
  {
    py::gil_scoped_release release;
    try {
      result = cli::Recover(options, hooks);
    } catch (const cli::Failure& f) {
      failure = f;
    } catch (const EngineError& e) {
      engineError = e;
    }
  }
  if (call.error) {
    py::error_already_set error = std::move(*call.error);
    call.error.reset();
    throw error;
  }
  if (call.abortedByProgress || (failure && failure->status == cli::kExitAborted)) Raise(ErrorClass("Aborted")());
  if (failure && failure->status == cli::kExitUsage) throw py::value_error(failure->message);
  if (failure) {
    PyErr_SetString(PyExc_OSError, failure->message.c_str());
    throw py::error_already_set();
  }
  if (engineError)
    Raise(ErrorClass("EngineError")(engineError->number(), engineError->source(), engineError->description()));
  return result;
}

// recover(message, options, progress): None, or (key, suffix, codepage,
// candidate number from 1, where it came from).
py::object RecoverKey(const py::bytes& message, const py::dict& o, const py::object& progress) {
  RecoverCall call(progress);
  (void)RunRecover(RecoverOptionsOf(message, o), call);
  if (!call.found) return py::none();
  const cli::RecoverFound& f = *call.found;
  return py::make_tuple(FoundText(f.key, f.codePage), FoundText(f.suffix, f.codePage), f.codePage, f.number + 1,
                        f.from);
}

// recover_count(message, options): the candidates the search (or its part)
// makes, None for a word list on standard input, and the rate of one core
// on this message, measured for a twentieth of a second.
py::tuple RecoverCount(const py::bytes& message, const py::dict& o) {
  cli::RecoverOptions options = RecoverOptionsOf(message, o);
  options.dryRun = true;
  RecoverCall call{py::none()};
  const cli::RecoverResult result = RunRecover(options, call);
  return py::make_tuple(result.count ? py::object(py::int_(*result.count)) : py::object(py::none()), result.perCore);
}
}  // namespace
}  // namespace trirotor::python

PYBIND11_MODULE(_core, m) {
  using namespace trirotor::python;
  mainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  m.doc() = "The trirotor engine; use the functions of the trirotor package.";
  m.def("decode", &Decode, py::arg("message"), py::arg("key"), py::arg("suffix"), py::arg("codepage"),
        py::arg("progress"), py::arg("strict"), py::arg("warn") = true);
  m.def("decode_bytes", &DecodeBytesCall, py::arg("message"), py::arg("key"), py::arg("suffix"), py::arg("codepage"),
        py::arg("progress"), py::arg("strict"));
  m.def("try_decode", &TryDecodeCall, py::arg("message"), py::arg("key"), py::arg("suffix"), py::arg("codepage"),
        py::arg("progress"));
  m.def("encode", &Encode, py::arg("text"), py::arg("key"), py::arg("suffix"), py::arg("codepage"), py::arg("wrap"));
  m.def("answer_lines", &AnswerLines, py::arg("mode"), py::arg("lines"), py::arg("key"), py::arg("suffix"),
        py::arg("codepage"), py::arg("wrap"), py::arg("first"));
  m.def("answer_block", &AnswerBlock, py::arg("mode"), py::arg("block"), py::arg("key"), py::arg("suffix"),
        py::arg("codepage"), py::arg("wrap"), py::arg("first"));
  m.def(
      "count_lines", [](const py::buffer& block) { return CountLines(BlockBytes(block.request())); }, py::arg("block"));
  m.def(
      "codepage_number", [](const py::handle& page) { return CheckedCodePage(page); }, py::arg("codepage"));
  m.def("recover", &RecoverKey, py::arg("message"), py::arg("options"), py::arg("progress"));
  m.def("recover_count", &RecoverCount, py::arg("message"), py::arg("options"));
  m.def("error_message", [](int code) { return std::string(trirotor::ErrorMessage(static_cast<std::int16_t>(code))); });
  m.attr("MAX_RECORD_BYTES") = trirotor::records::kMaxRecordBytes;  // a longer line is answered as too long
  m.attr("SHORTEST_MESSAGE") = trirotor::kShortestMessage;          // fewer characters are no message
  m.def(
      "_pause_lock_takes", [] { return lockTakes.load(std::memory_order_relaxed); },
      "How often the engine's pauses have taken the interpreter lock (for the tests).");
  m.def(
      "_progress", [] { return static_cast<int>(trirotor::Progress); },
      "The engine's Progress on this thread, where its last decode left it (for the tests).");
}
