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
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "cli/records.h"
#include "engine/trirotor.h"

namespace py = pybind11;

namespace trirotor::python {
namespace {

/// Exceptions ///

py::object ErrorClass(const char* name) {
  return py::module_::import("trirotor._errors").attr(name);
}

[[noreturn]] void Raise(py::object error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

/// Text ///

std::u16string ToWide(const py::handle& text, const char* what) {
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string(what) + " must be str, not " + std::string(py::str(py::type::handle_of(text).attr("__name__"))));
  }
  // Lone surrogates pass through as they are: the engine sees UTF-16 units.
  py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(text.ptr(), "utf-16-le", "surrogatepass"));
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

// "'Ж' (U+0416) at index 3", the index counted in Python characters.
std::string DescribeAt(std::u16string_view text, std::size_t unit) {
  std::size_t index = 0;
  for (std::size_t i = 0; i < unit; ++i) {
    const bool pairTail = i > 0 && text[i] >= 0xDC00 && text[i] <= 0xDFFF && text[i - 1] >= 0xD800 &&
                          text[i - 1] <= 0xDBFF;
    if (!pairTail) ++index;
  }
  char32_t cp = text[unit];
  if (cp >= 0xD800 && cp <= 0xDBFF && unit + 1 < text.size() && text[unit + 1] >= 0xDC00 && text[unit + 1] <= 0xDFFF) {
    cp = 0x10000 + ((cp - 0xD800) << 10) + (text[unit + 1] - 0xDC00);
  }
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(cp));
  const bool printable = cp >= 0x20 && !(cp >= 0x7F && cp < 0xA0) && !(cp >= 0xD800 && cp <= 0xDFFF);
  std::string out;
  if (printable) {
    std::u32string one(1, cp);
    auto character = py::reinterpret_steal<py::str>(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, one.data(), 1));
    if (!character) throw py::error_already_set();
    out = std::string(py::repr(character)) + " (" + name + ")";
  } else {
    out = name;
  }
  return out + " at index " + std::to_string(index);
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
    throw py::type_error("codepage must be int or str, not " + std::string(py::str(py::type::handle_of(page).attr("__name__"))));
  }
  const std::string given = page.cast<std::string>();
  const std::optional<int> number = platform::ParseCodePageName(given);
  if (!number) throw py::value_error("unknown code page '" + given + "'");
  return *number;
}

// Whether each thread has a code page of its own: set one on a fresh thread
// and see whether this thread's changed. Where the page is one setting for
// the whole process, a call holds a lease on it (below) while it works.
bool CodePagePerThread() {
  static const bool perThread = [] {
    const int here = platform::CodePage();
    const int other = here == 1251 ? 1252 : 1251;
    std::thread probe([other] { platform::SetCodePage(other); });
    probe.join();
    const bool separate = platform::CodePage() == here;
    if (!separate) platform::SetCodePage(here);
    return separate;
  }();
  return perThread;
}

// A process-wide page shared by calls that want the same page; a call that
// wants another waits until the calls using the current one are done.
class PageLease {
 public:
  explicit PageLease(int codePage) {
    if (CodePagePerThread()) {
      if (platform::CodePage() != codePage) platform::SetCodePage(codePage);
      shared_ = false;
      return;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return users_ == 0 || page_ == codePage; });
    if (users_ == 0 && platform::CodePage() != codePage) platform::SetCodePage(codePage);
    page_ = codePage;
    ++users_;
  }
  ~PageLease() {
    if (!shared_) return;
    std::lock_guard lock(mutex_);
    if (--users_ == 0) changed_.notify_all();
  }
  PageLease(const PageLease&) = delete;
  PageLease& operator=(const PageLease&) = delete;

 private:
  bool shared_ = true;
  static inline std::mutex mutex_;
  static inline std::condition_variable changed_;
  static inline int users_ = 0;
  static inline int page_ = 0;
};

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

struct Call {
  explicit Call(py::handle callback)
      : progress(callback), checkSignals(PyThread_get_thread_ident() == mainThread) {}
  py::handle progress;  // None or a callable
  bool checkSignals;    // on the main thread: Ctrl-C stops the call
  bool abortedByProgress = false;
  std::optional<py::error_already_set> error;  // from the callback or a signal handler
};

thread_local Call* currentCall = nullptr;

void OnPause() {
  Call* call = currentCall;
  if (call == nullptr || AbortFlag == -1) return;
  if (!call->checkSignals && call->progress.is_none()) return;
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) {  // KeyboardInterrupt, on the main thread
    call->error.emplace();
    AbortFlag = -1;
    return;
  }
  if (call->progress.is_none()) return;
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

// Raises FrameError, or ChecksumError when strict, after a decode.
void CheckOutcome(std::int16_t lastError, bool strict, const py::object& result) {
  if (lastError == kErrFrameCheck) Raise(ErrorClass("FrameError")());
  if (lastError == kErrChecksum && strict) Raise(ErrorClass("ChecksumError")(result));
}

// The first character of the texts that the page cannot hold: a warning for
// decoding, where the engine's mapping to '?' stays (messages sealed that way
// must still open), and a ValueError for sealing. Found while the page is
// set, described once the interpreter lock is back.
struct Misfit {
  std::u16string_view text;
  const char* what = nullptr;
  std::size_t at = std::u16string_view::npos;
};

Misfit FindMisfit(std::initializer_list<std::pair<std::u16string_view, const char*>> texts) {
  for (const auto& [text, what] : texts) {
    const std::size_t at = platform::FindUnrepresentable(text);
    if (at != std::u16string_view::npos) return {text, what, at};
  }
  return {};
}

std::string Describe(const Misfit& misfit, int codePage) {
  if (misfit.what == nullptr) return {};
  return std::string(misfit.what) + ": character " + DescribeAt(misfit.text, misfit.at) +
         " has no place in code page " + std::to_string(codePage);
}

void WarnKeyMapping(const Misfit& misfit, int codePage) {
  if (misfit.what == nullptr) return;
  const std::string problem = Describe(misfit, codePage);
  py::object warning = ErrorClass("KeyCharacterWarning");
  if (PyErr_WarnEx(warning.ptr(), (problem + "; it is read as '?', as the engine always has").c_str(), 2) != 0) {
    throw py::error_already_set();
  }
}

py::object Decode(const py::handle& message, const py::handle& key, const py::handle& suffix,
                  const py::handle& codepage, const py::handle& progress, bool strict, bool warn) {
  const std::u16string wideMessage = ToWide(message, "message");
  const std::u16string wideKey = ToWide(key, "key");
  const std::u16string wideSuffix = ToWide(suffix, "suffix");
  const int page = CheckedCodePage(codepage);
  Call call(progress);
  std::u16string plain;
  std::int16_t lastError = 0;
  Misfit keyMisfit;
  RunEngine(call, [&] {
    PageLease lease(page);
    keyMisfit = FindMisfit({{wideKey, "key"}, {wideSuffix, "suffix"}});
    LastError = 0;
    plain = DecodeText(wideMessage, wideKey, wideSuffix);
    lastError = LastError;
  });
  if (warn) WarnKeyMapping(keyMisfit, page);
  py::str text = FromWide(plain);
  CheckOutcome(lastError, strict, text);
  return text;
}

py::object DecodeBytesCall(const py::handle& message, const py::handle& key, const py::handle& suffix,
                           const py::handle& codepage, const py::handle& progress, bool strict) {
  Py_buffer view;
  if (PyObject_GetBuffer(message.ptr(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    throw py::type_error("message must be a bytes-like object, not " + std::string(py::str(py::type::handle_of(message).attr("__name__"))));
  }
  ByteBuffer bytes(static_cast<const std::uint8_t*>(view.buf), static_cast<const std::uint8_t*>(view.buf) + view.len);
  PyBuffer_Release(&view);
  const std::u16string wideKey = ToWide(key, "key");
  const std::u16string wideSuffix = ToWide(suffix, "suffix");
  const int page = CheckedCodePage(codepage);
  Call call(progress);
  ByteBuffer plain;
  std::int16_t lastError = 0;
  Misfit keyMisfit;
  RunEngine(call, [&] {
    PageLease lease(page);
    keyMisfit = FindMisfit({{wideKey, "key"}, {wideSuffix, "suffix"}});
    LastError = 0;
    plain = DecodeBytes(std::move(bytes), wideKey, wideSuffix);
    lastError = LastError;
  });
  WarnKeyMapping(keyMisfit, page);
  py::bytes result(reinterpret_cast<const char*>(plain.data()), plain.size());
  CheckOutcome(lastError, strict, result);
  return result;
}

py::object Encode(const py::handle& text, const py::handle& key, const py::handle& suffix,
                  const py::handle& codepage, int wrap) {
  if (wrap < 0) throw py::value_error("wrap must be 0 (one line) or more, not " + std::to_string(wrap));
  const std::u16string wideText = ToWide(text, "text");
  const std::u16string wideKey = ToWide(key, "key");
  const std::u16string wideSuffix = ToWide(suffix, "suffix");
  const int page = CheckedCodePage(codepage);
  Call call{py::none()};
  std::u16string sealed;
  Misfit misfit;
  RunEngine(call, [&] {
    PageLease lease(page);
    misfit = FindMisfit({{wideText, "text"}, {wideKey, "key"}, {wideSuffix, "suffix"}});
    if (misfit.what == nullptr) sealed = EncodeText(wideText, wideKey, wideSuffix, wrap);
  });
  if (misfit.what != nullptr) throw py::value_error(Describe(misfit, page));
  return FromWide(sealed);
}

/// Batch records ///

// Lines answered by the tool's own record answerer, so that a record
// answered here and by `trirotor decode --jsonl` gives the same line.

// What a batch call was asked, checked while the interpreter lock is held.
struct BatchRequest {
  cli::Mode mode = cli::Mode::kDecode;
  cli::KeyPair defaults;
  int wrap = 0;
  int page = 1252;
};

BatchRequest CheckBatchRequest(const std::string& mode, const py::handle& key, const py::handle& suffix,
                               const py::handle& codepage, int wrap) {
  if (mode != "decode" && mode != "encode") throw py::value_error("mode must be 'decode' or 'encode'");
  if (wrap < 0) throw py::value_error("wrap must be 0 (one line) or more, not " + std::to_string(wrap));
  BatchRequest request;
  request.mode = mode == "decode" ? cli::Mode::kDecode : cli::Mode::kEncode;
  request.wrap = wrap;
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
  Misfit misfit;
  Call call{py::none()};
  RunEngine(call, [&] {
    PageLease lease(request.page);
    if (request.mode == cli::Mode::kEncode) {
      // A default key the page cannot hold would seal every record with '?'.
      misfit = FindMisfit({{request.defaults.key ? *request.defaults.key : std::u16string_view(), "key"},
                           {request.defaults.suffix, "suffix"}});
      if (misfit.what != nullptr) return;
    }
    cli::RecordAnswerer answerer(request.mode, request.defaults, request.wrap);
    answerAll(answerer, static_cast<const Call&>(call));
  });
  if (misfit.what != nullptr) throw py::value_error(Describe(misfit, request.page));
}

// One line (without its "\n") answered onto the end of `out`, as the tool
// answers it: a line longer than it keeps gets an error record.
cli::LineOutcome AnswerOne(cli::RecordAnswerer& answerer, std::string_view line, std::uint64_t number,
                           std::string& out) {
  return line.size() > cli::kMaxRecordBytes ? answerer.AnswerTooLong(number, out)
                                            : answerer.Answer(line, number, out);
}

// A list of lines (str or bytes) to a list of output lines (str). The lines
// are copied out first, then answered all at once.
py::list AnswerLines(const std::string& mode, const py::list& lines, const py::handle& key,
                     const py::handle& suffix, const py::handle& codepage, int wrap, std::uint64_t first) {
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
        py::object bytes = py::reinterpret_steal<py::object>(
            PyUnicode_AsEncodedString(line.ptr(), "utf-8", "surrogatepass"));
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
  RunBatch(request, [&](cli::RecordAnswerer& answerer, const Call& call) {
    std::string answer;
    for (std::size_t i = 0; i < in.size() && !call.error; ++i) {
      answer.clear();
      if (AnswerOne(answerer, in[i], first + i, answer) == cli::LineOutcome::kBlank) continue;
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
py::tuple AnswerBlock(const std::string& mode, const py::buffer& block, const py::handle& key,
                      const py::handle& suffix, const py::handle& codepage, int wrap, std::uint64_t first) {
  const BatchRequest request = CheckBatchRequest(mode, key, suffix, codepage, wrap);
  const py::buffer_info view = block.request();
  const std::string_view data = BlockBytes(view);
  std::string out;
  std::uint64_t lines = 0;
  RunBatch(request, [&](cli::RecordAnswerer& answerer, const Call& call) {
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

}  // namespace
}  // namespace trirotor::python

PYBIND11_MODULE(_core, m) {
  using namespace trirotor::python;
  mainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  m.doc() = "The trirotor engine; use the functions of the trirotor package.";
  m.def("decode", &Decode, py::arg("message"), py::arg("key"), py::arg("suffix"), py::arg("codepage"),
        py::arg("progress"), py::arg("strict"), py::arg("warn") = true);
  m.def("decode_bytes", &DecodeBytesCall, py::arg("message"), py::arg("key"), py::arg("suffix"),
        py::arg("codepage"), py::arg("progress"), py::arg("strict"));
  m.def("encode", &Encode, py::arg("text"), py::arg("key"), py::arg("suffix"), py::arg("codepage"),
        py::arg("wrap"));
  m.def("answer_lines", &AnswerLines, py::arg("mode"), py::arg("lines"), py::arg("key"), py::arg("suffix"),
        py::arg("codepage"), py::arg("wrap"), py::arg("first"));
  m.def("answer_block", &AnswerBlock, py::arg("mode"), py::arg("block"), py::arg("key"), py::arg("suffix"),
        py::arg("codepage"), py::arg("wrap"), py::arg("first"));
  m.def("count_lines", [](const py::buffer& block) { return CountLines(BlockBytes(block.request())); },
        py::arg("block"));
  m.def("codepage_number", [](const py::handle& page) { return CheckedCodePage(page); }, py::arg("codepage"));
  m.def("codepage_per_thread", &CodePagePerThread);
}
