// SPDX-License-Identifier: MIT
//
// main_window_test.cpp - the window driven through its widgets.
//
// Guards against the faults a synchronous engine on the user-interface thread
// invites: a second run started inside the first one's pauses, an Abort that
// is never delivered or never honoured, a status line that repeats an earlier
// run's error, a busy cursor left behind, text garbled between QString and
// the engine, and files read without bound.

#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "engine/trirotor.h"
#include "gui/main_window.h"
#include "gui/tests/gui_test_util.h"

using trirotor::gui::MainWindow;
using namespace trirotor::gui::testing;

namespace {

// An encoder that holds its thread until the window has delivered an event,
// so the test knows the window was running events while it encoded. The
// wait is bounded: a window that never gets there fails, and does not hang.
std::atomic<bool> encoderReleased{false};
std::u16string HeldEncoder(std::u16string_view plain, std::u16string_view, std::u16string_view) {
  for (int i = 0; i < 20000 && !encoderReleased.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return u"sealed:" + std::u16string(plain);
}

// A fixed frame header makes every test message the same on every run.
constexpr trirotor::FrameHeader kHeader = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

QString Seal(const QString& plain, const QString& key, const QString& keySuffix = {}) {
  return FromU16(trirotor::EncodeText(View(plain), View(key), View(keySuffix), kHeader));
}

// Prose-like text of about `size` characters: compressible, like a letter.
QString LongText(qsizetype size) {
  const std::string text = trirotor::test::ProseText(static_cast<std::size_t>(size));
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  MainWindow* window_ = nullptr;

  template <typename T>
  T* Child(const char* name) {
    T* child = window_->findChild<T*>(name);
    if (child == nullptr) qFatal("no widget named %s", name);
    return child;
  }
  QString Status() { return Child<QLabel>("statusLabel")->text(); }
  void Type(const char* field, const QString& text) { Child<QLineEdit>(field)->setText(text); }
  void Click(const char* button) { QTest::mouseClick(Child<QPushButton>(button), Qt::LeftButton); }
  // Runs `during` at the first pause of the next run (the hooks always
  // deliver events there), then clicks `button` to start that run.
  void ClickWith(const char* button, std::function<void()> during) {
    QTimer::singleShot(0, window_, std::move(during));
    Click(button);
  }

 private slots:
  void init() {
    trirotor::platform::SetCodePage(1252);
    trirotor::LastError = 0;
    trirotor::AbortFlag = 0;
    window_ = new MainWindow;
    window_->show();
  }
  void cleanup() {
    delete window_;
    window_ = nullptr;
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
  }

  // The shipped examples: messages, key files ending in one line end, and
  // the plain texts in UTF-8, made apart from the window.
  void DecodesTheShippedExamples_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("hello") << "hello";
    QTest::newRow("long, compressed") << "long";
    QTest::newRow("with a suffix") << "suffixed";
  }
  void DecodesTheShippedExamples() {
    QFETCH(QString, name);
    const QString stem = QStringLiteral(TRIROTOR_SOURCE_DIR "/examples/") + name;
    const auto readLine = [](const QString& path) {
      QFile file(path);
      if (!file.open(QIODevice::ReadOnly)) return QString();
      QByteArray bytes = file.readAll();
      if (bytes.endsWith('\n')) bytes.chop(1);
      return QString::fromUtf8(bytes);
    };
    QFile textFile(stem + ".txt");
    QVERIFY2(textFile.open(QIODevice::ReadOnly), qPrintable(stem + ".txt is missing"));
    const QString key = readLine(stem + ".key");
    QVERIFY(!key.isEmpty());

    QVERIFY(window_->LoadInputFile(stem + ".b64"));
    Type("keyEdit", key);
    Type("suffixEdit", readLine(stem + ".suffix"));  // none: empty
    Click("decodeButton");

    QVERIFY2(Status().startsWith("Decoded"), qPrintable(Status()));
    QCOMPARE(window_->ResultText(), QString::fromUtf8(textFile.readAll()));
    QCOMPARE(Child<QProgressBar>("progressBar")->value(), 100);
  }

  void DecodesThroughTheWidgets_data() {
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("keySuffix");
    QTest::addColumn<int>("codePage");
    QTest::newRow("short note") << "Meet me at noon."
                                << "secret"
                                << "" << 1252;
    QTest::newRow("with a suffix") << "Suffixed."
                                   << "secret"
                                   << "2024-05" << 1252;
    QTest::newRow("CRLF lines kept") << "one\r\ntwo\r\n"
                                     << "k"
                                     << "" << 1252;
    QTest::newRow("accents and euro") << QString::fromUtf8("caf\u00e9 \u20ac5") << "cl\u00e9"
                                      << "" << 1252;
    QTest::newRow("Greek page") << QString::fromUtf8("\u03b1\u03b2\u03b3") << "key"
                                << "" << 1253;
    QTest::newRow("long compressed text") << LongText(120000) << "long key"
                                          << "x" << 1252;
  }
  void DecodesThroughTheWidgets() {
    QFETCH(QString, plain);
    QFETCH(QString, key);
    QFETCH(QString, keySuffix);
    QFETCH(int, codePage);
    auto* pages = Child<QComboBox>("codePageBox");
    pages->setCurrentIndex(pages->findData(codePage));
    QCOMPARE(trirotor::platform::CodePage(), codePage);

    window_->SetInputText(Seal(plain, key, keySuffix), "test");
    Type("keyEdit", key);
    Type("suffixEdit", keySuffix);
    Click("decodeButton");

    QVERIFY2(Status().startsWith("Decoded"), qPrintable(Status()));
    QCOMPARE(window_->ResultText(), plain);
  }

  void ShowsTheEngineWords_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("result");
    QTest::newRow("wrong key") << Seal("hello", "other key") << "Failed decoding the text (Error 33)"
                               << "";
    // HE3 "ABC" with the checksum byte zeroed:
    //   48 45 33 0D  identification, version 3
    //   00           checksum (should be 41^42^43 = 40)
    //   03 00 00 00  plain length 3
    //   03 00        three code table entries
    //   41 01 42 02 43 02   'A' 1 bit, 'B' 2 bits, 'C' 2 bits
    //   1A           code bits A=0, B=10, C=11 (from the least significant bit)
    //   1A           data bits for "ABC"
    QTest::newRow("checksum mismatch keeps the text")
        << SealContainer(QByteArray::fromHex("4845330D000300000003004101420243021A1A"), "key")
        << "Compression checksum error (Error 5)"
        << "ABC";
    // "HE5\r": identification with a version the engine does not know.
    QTest::newRow("unknown container version")
        << SealContainer(QByteArray::fromHex("4845350D41424344"), "key")
        << "Error -2147221504 in HuffmanDecode(): The data either was not compressed with HE3 or is "
           "corrupt (identification string not found)"
        << "";
  }
  void ShowsTheEngineWords() {
    QFETCH(QString, message);
    QFETCH(QString, status);
    QFETCH(QString, result);
    window_->SetInputText(message, "test");
    Type("keyEdit", "key");
    Click("decodeButton");
    QCOMPARE(Status(), status);
    QCOMPARE(window_->ResultText(), result);
    QCOMPARE(Child<QPlainTextEdit>("resultEdit")->toPlainText(), result);
    QVERIFY(Child<QPushButton>("decodeButton")->isEnabled());
    QVERIFY(!Child<QPushButton>("abortButton")->isEnabled());
  }

  // The engine never clears LastError; the window must, or a good run after a
  // bad one would still report the bad one's error.
  void StatusSpeaksOfThisRunOnly() {
    window_->SetInputText(Seal("first", "right"), "test");
    Type("keyEdit", "wrong");
    Click("decodeButton");
    QCOMPARE(Status(), QString("Failed decoding the text (Error 33)"));
    Type("keyEdit", "right");
    Click("decodeButton");
    QVERIFY2(Status().startsWith("Decoded"), qPrintable(Status()));
    QCOMPARE(window_->ResultText(), QString("first"));
  }

  void AbortStopsALargeDecode() {
    const QString plain = LongText(3 << 20);
    window_->SetInputText(Seal(plain, "key"), "large.b64");
    Type("keyEdit", "key");
    bool decodeEnabled = true, encodeEnabled = true, abortEnabled = false, running = false;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    ClickWith("decodeButton", [&] {
      running = window_->IsRunning();
      decodeEnabled = Child<QPushButton>("decodeButton")->isEnabled();
      encodeEnabled = Child<QPushButton>("encodeButton")->isEnabled();
      abortEnabled = Child<QPushButton>("abortButton")->isEnabled();
      if (QGuiApplication::overrideCursor() != nullptr) cursor = QGuiApplication::overrideCursor()->shape();
      Click("abortButton");
    });

    QVERIFY(running);
    QVERIFY(!decodeEnabled);
    QVERIFY(!encodeEnabled);
    QVERIFY(abortEnabled);
    QCOMPARE(cursor, Qt::WaitCursor);
    QCOMPARE(Status(), QString("Aborted"));
    QCOMPARE(window_->ResultText(), QString());
    // Stopped at the start, not run to the end and then labelled aborted.
    QVERIFY(Child<QProgressBar>("progressBar")->value() < 50);
    QVERIFY(Child<QPushButton>("decodeButton")->isEnabled());
    QVERIFY(!Child<QPushButton>("abortButton")->isEnabled());
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);

    // The next run starts clean and goes through.
    Click("decodeButton");
    QVERIFY2(Status().startsWith("Decoded"), qPrintable(Status()));
    QCOMPARE(window_->ResultText(), plain);
  }

  // A second decode inside the first one's pause would set the cipher up
  // afresh under the running pass and garble it.
  void RefusesASecondRunInsideTheFirst() {
    const QString plain = LongText(200000);
    window_->SetInputText(Seal(plain, "key"), "test");
    Type("keyEdit", "key");
    ClickWith("decodeButton", [&] {
      window_->Decode();
      window_->Encode();
      Click("decodeButton");
      Click("encodeButton");
    });
    QVERIFY2(Status().startsWith("Decoded"), qPrintable(Status()));
    QCOMPARE(window_->ResultText(), plain);
  }

  void ProgressBarFollowsTheRun() {
    const QString plain = LongText(400000);
    window_->SetInputText(Seal(plain, "key"), "test");
    Type("keyEdit", "key");
    QList<int> seen;
    connect(Child<QProgressBar>("progressBar"), &QProgressBar::valueChanged, this,
            [&seen](int value) { seen.append(value); });
    Click("decodeButton");
    QCOMPARE(window_->ResultText(), plain);
    // Decryption climbs towards 50, the checksum pass from 50 on, and the
    // window shows 100 once the text is there.
    QVERIFY2(seen.size() >= 4, qPrintable(QString::number(seen.size())));
    QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    QVERIFY(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 0 && v < 50; }));
    QVERIFY(std::any_of(seen.begin(), seen.end(), [](int v) { return v >= 50 && v < 100; }));
    QCOMPARE(seen.last(), 100);
  }

  void ClosingDuringARunAbortsItFirst() {
    window_->SetInputText(Seal(LongText(1 << 20), "key"), "test");
    Type("keyEdit", "key");
    bool stillShown = false;
    ClickWith("decodeButton", [&] {
      window_->close();
      stillShown = window_->isVisible();  // not closed under the running decode
    });
    QVERIFY(stillShown);
    QCOMPARE(Status(), QString("Aborted"));
    QVERIFY(!window_->isVisible());
  }

  void EncodeThenDecodeGivesTheTextBack() {
    const QString plain = QString::fromUtf8("Dear Ann,\nthe parcel is at the station.\n\u00a7 3 \u20ac");
    window_->SetInputText(plain, "typed");
    Type("keyEdit", "pass");
    Type("suffixEdit", "s");
    Click("encodeButton");
    QVERIFY2(Status().startsWith("Encoded"), qPrintable(Status()));
    const QString message = window_->ResultText();
    QVERIFY(message != plain);
    window_->SetInputText(message, "result");
    Click("decodeButton");
    QCOMPARE(window_->ResultText(), plain);
  }

  // The encoder has no pauses; it runs beside the window, which keeps
  // delivering events (here: a timer) with the controls disabled.
  void EncodeRunsBesideTheWindow_data() {
    QTest::addColumn<bool>("abort");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("result");
    QTest::newRow("runs to the end") << false << "Encoded 3 characters into a message of 10."
                                     << "sealed:abc";
    QTest::newRow("Abort drops the result") << true << "Aborted"
                                            << "";
  }
  void EncodeRunsBesideTheWindow() {
    QFETCH(bool, abort);
    QFETCH(QString, status);
    QFETCH(QString, result);
    window_->SetEncoder(&HeldEncoder);
    encoderReleased = false;
    window_->SetInputText("abc", "typed");
    Type("keyEdit", "key");
    bool running = false, decodeEnabled = true, encodeEnabled = true, abortEnabled = false;
    int barMaximum = -1;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    ClickWith("encodeButton", [&] {
      running = window_->IsRunning();
      barMaximum = Child<QProgressBar>("progressBar")->maximum();
      decodeEnabled = Child<QPushButton>("decodeButton")->isEnabled();
      encodeEnabled = Child<QPushButton>("encodeButton")->isEnabled();
      abortEnabled = Child<QPushButton>("abortButton")->isEnabled();
      if (QGuiApplication::overrideCursor() != nullptr) cursor = QGuiApplication::overrideCursor()->shape();
      window_->Decode();  // refused: a run is in progress
      if (abort) Click("abortButton");
      encoderReleased = true;
    });
    QVERIFY(running);
    QVERIFY(!decodeEnabled);
    QVERIFY(!encodeEnabled);
    QVERIFY(abortEnabled);
    QCOMPARE(cursor, Qt::WaitCursor);
    QCOMPARE(barMaximum, 0);  // a busy bar: the encoder tells no progress
    QCOMPARE(Status(), status);
    QCOMPARE(window_->ResultText(), result);
    QCOMPARE(Child<QProgressBar>("progressBar")->maximum(), 100);
    QVERIFY(Child<QPushButton>("encodeButton")->isEnabled());
    QVERIFY(!Child<QPushButton>("abortButton")->isEnabled());
  }

  void EncodeNamesTheFirstCharacterOutsideThePage_data() {
    QTest::addColumn<QString>("plain");
    QTest::addColumn<int>("codePage");
    QTest::addColumn<QString>("where");
    QTest::newRow("CJK on line 2") << QString::fromUtf8("ab\ncd\u4e2d\u4e2e") << 1252 << "line 2, column 3: U+4E2D";
    QTest::newRow("emoji is one character")
        << QString::fromUtf8("x\U0001F600\u4e2d") << 1252 << "line 1, column 2: U+1F600";
    QTest::newRow("Greek in the Western page") << QString::fromUtf8("\u03b1") << 1252 << "line 1, column 1: U+03B1";
    QTest::newRow("euro outside Latin-1") << QString::fromUtf8("5 \u20ac") << 28591 << "line 1, column 3: U+20AC";
    // A look-alike would change the text: refused too, naming what it would become.
    QTest::newRow("look-alike in the text") << QString::fromUtf8("ab\nc\nx\u0142") << 1252
                                            << "line 3, column 2: U+0142 '\u0142' has no place in code page "
                                               "1252 and would become 'l'";
    QTest::newRow("no look-alike") << QString::fromUtf8("\u4e2d") << 1252
                                   << "line 1, column 1: U+4E2D '\u4e2d' has no place in code page 1252 and "
                                      "would be lost";
  }
  void EncodeNamesTheFirstCharacterOutsideThePage() {
    QFETCH(QString, plain);
    QFETCH(int, codePage);
    QFETCH(QString, where);
    auto* pages = Child<QComboBox>("codePageBox");
    pages->setCurrentIndex(pages->findData(codePage));
    window_->SetInputText(plain, "typed");
    Type("keyEdit", "key");
    Click("encodeButton");
    QVERIFY2(Status().startsWith("Cannot encode:"), qPrintable(Status()));
    QVERIFY2(Status().contains(where), qPrintable(Status()));
    QVERIFY2(Status().contains(QString::number(codePage)), qPrintable(Status()));
    QCOMPARE(window_->ResultText(), QString());
  }

  // Key and suffix files are read as the command line reads them, and a key
  // the page cannot hold is refused before anything is sealed.
  void ReadsKeyFilesAsTheToolDoes_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("suffix");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("field");   // the field's text once loaded
    QTest::addColumn<QString>("status");  // a part of the status line otherwise
    QTest::newRow("line end dropped") << QByteArray("cl\xc3\xa9\r\n") << false << true << QString::fromUtf8("cl\u00e9")
                                      << "";
    QTest::newRow("byte-order mark dropped") << QByteArray("\xef\xbb\xbfk\n") << false << true << "k"
                                             << "";
    QTest::newRow("only one line end") << QByteArray("s\n\n") << true << true << "s\n"
                                       << "";
    QTest::newRow("not UTF-8") << QByteArray("cl\xe9") << false << false << ""
                               << "not valid UTF-8";
    QTest::newRow("over 1 MiB") << QByteArray((1 << 20) + 1, 'k') << false << false << ""
                                << "MiB";
    QTest::newRow("empty key") << QByteArray("\n") << false << false << ""
                               << "empty";
    QTest::newRow("empty suffix") << QByteArray("") << true << true << ""
                                  << "";
  }
  void ReadsKeyFilesAsTheToolDoes() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, suffix);
    QFETCH(bool, loaded);
    QFETCH(QString, field);
    QFETCH(QString, status);
    QTemporaryDir dir;
    const QString path = dir.filePath("secret.key");
    QVERIFY(WriteFile(path, bytes));
    const char* fieldName = suffix ? "suffixEdit" : "keyEdit";
    Type(fieldName, "before");
    QCOMPARE(window_->LoadKeyFile(path, suffix ? MainWindow::KeyField::kSuffix : MainWindow::KeyField::kKey), loaded);
    QCOMPARE(Child<QLineEdit>(fieldName)->text(), loaded ? field : QString("before"));
    if (!loaded) QVERIFY2(Status().contains(status), qPrintable(Status()));
  }

  void RefusesAKeyThePageCannotHold_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("keySuffix");
    QTest::addColumn<int>("codePage");
    QTest::addColumn<QString>("status");
    QTest::newRow("Japanese key") << QString::fromUtf8("\u65e5\u672c") << "" << 1252
                                  << "character 1 of the key: U+65E5 '\u65e5' has no place in code page 1252 "
                                     "and would be sealed as '?'";
    QTest::newRow("Latin key in the Cyrillic page") << QString::fromUtf8("ab\u00fc") << "" << 1251
                                                    << "character 3 of the key: U+00FC '\u00fc' has no place "
                                                       "in code page 1251 and would be sealed as its look-alike 'u'";
    QTest::newRow("look-alike in the key") << QString::fromUtf8("\u0141\u00f3d\u017a") << "" << 1252
                                           << "character 1 of the key: U+0141 '\u0141' has no place in code "
                                              "page 1252 and would be sealed as its look-alike 'L'";
    QTest::newRow("suffix") << "key" << QString::fromUtf8("s\u03b1") << 1252 << "character 2 of the key suffix: U+03B1";
  }
  void RefusesAKeyThePageCannotHold() {
    QFETCH(QString, key);
    QFETCH(QString, keySuffix);
    QFETCH(int, codePage);
    QFETCH(QString, status);
    auto* pages = Child<QComboBox>("codePageBox");
    pages->setCurrentIndex(pages->findData(codePage));
    window_->SetInputText("text", "typed");
    Type("keyEdit", key);
    Type("suffixEdit", keySuffix);
    Click("encodeButton");
    QVERIFY2(Status().startsWith("Cannot encode:"), qPrintable(Status()));
    QVERIFY2(Status().contains(status), qPrintable(Status()));
    QCOMPARE(window_->ResultText(), QString());
  }

  // A key typed with characters the page lacks is taken as the tool takes
  // it (Windows' look-alike, else '?'), and the status says so under the
  // outcome, once per character; a key the page holds gets no warning.
  void DecodeWarnsOfKeyCharactersOutsideThePage_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("keySuffix");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QStringList>("warnings");
    const QString l =
        QString::fromUtf8("Warning: U+0141 '\u0141' is not in code page 1252; it was taken as 'L', as Windows does.");
    const QString z =
        QString::fromUtf8("Warning: U+017A '\u017a' is not in code page 1252; it was taken as 'z', as Windows does.");
    QTest::newRow("look-alikes open it") << QString::fromUtf8("\u0141\u00f3d\u017a-2004") << ""
                                         << "Decoded" << QStringList{l, z};
    QTest::newRow("each character said once") << QString::fromUtf8("\u0141\u0141\u00f3d\u017a-2004") << ""
                                              << "Failed decoding the text (Error 33)" << QStringList{l, z};
    QTest::newRow("no look-alike is '?'")
        << QString::fromUtf8("\u0141\u00f3d\u017a-2004") << QString::fromUtf8("\u65e5")
        << "Failed decoding the text (Error 33)"
        << QStringList{
               l, z,
               QString::fromUtf8("Warning: U+65E5 '\u65e5' has no place in code page 1252 and was taken as '?'.")};
    QTest::newRow("the sealed bytes") << QString::fromUtf8("L\u00f3dz-2004") << ""
                                      << "Decoded" << QStringList{};
  }
  void DecodeWarnsOfKeyCharactersOutsideThePage() {
    QFETCH(QString, key);
    QFETCH(QString, keySuffix);
    QFETCH(QString, outcome);
    QFETCH(QStringList, warnings);
    // What a Western system sealed when "\u0141\u00f3d\u017a-2004" was typed.
    window_->SetInputText(Seal("Treffen um acht.", QString::fromUtf8("L\u00f3dz-2004")), "test");
    Type("keyEdit", key);
    Type("suffixEdit", keySuffix);
    Click("decodeButton");
    QStringList lines = Status().split('\n');
    QVERIFY2(lines.takeFirst().startsWith(outcome), qPrintable(Status()));
    QCOMPARE(lines, warnings);
    QCOMPARE(window_->ResultText(), outcome == "Decoded" ? QString("Treffen um acht.") : QString());
  }

  // The encoder's thread converts under the window's page, not the 1252 a
  // new thread starts with.
  void EncodesUnderTheSelectedPage() {
    auto* pages = Child<QComboBox>("codePageBox");
    pages->setCurrentIndex(pages->findData(1251));
    const QString plain = QString::fromUtf8("\u0416\u0438\u0437\u043d\u044c");
    window_->SetInputText(plain, "typed");
    Type("keyEdit", QString::fromUtf8("\u043a\u043b\u044e\u0447"));
    Click("encodeButton");
    QVERIFY2(Status().startsWith("Encoded"), qPrintable(Status()));
    window_->SetInputText(window_->ResultText(), "result");
    Click("decodeButton");
    QCOMPARE(window_->ResultText(), plain);
  }

  // The list is the library's: what the setter takes, and nothing it refuses;
  // Windows' ANSI pages, and only they, are marked as converting by Windows'
  // own tables.
  void OffersTheLibrarysCodePages() {
    auto* pages = Child<QComboBox>("codePageBox");
    QCOMPARE(pages->count(), static_cast<int>(trirotor::platform::SupportedCodePages().size()));
    for (int page : {437, 1251, 28592, 28600, 28601, 28604, 28606}) {
      QVERIFY2(pages->findData(page) >= 0, qPrintable(QString::number(page)));
    }
    for (int page : {500, 864, 875, 28602}) QCOMPARE(pages->findData(page), -1);
    QList<int> marked;
    for (int i = 0; i < pages->count(); ++i) {
      if (pages->itemText(i).contains("Windows' own tables, best fit included"))
        marked.append(pages->itemData(i).toInt());
    }
    QCOMPARE(marked, (QList<int>{874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258}));
  }

  void LoadsTextFiles_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("codePage");
    QTest::addColumn<QString>("text");
    QTest::newRow("base64 message") << QByteArray("SGVs\nbG8=\n") << 1252 << "SGVs\nbG8=\n";
    QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9\r\n\xe2\x82\xac") << 1252
                           << QString::fromUtf8("caf\u00e9\r\n\u20ac");
    QTest::newRow("UTF-8 with a byte order mark") << QByteArray("\xef\xbb\xbfok") << 1252 << "ok";
    // Not UTF-8: one character per byte of the selected page.
    QTest::newRow("Western page bytes") << QByteArray("caf\xe9\r\n\x80") << 1252
                                        << QString::fromUtf8("caf\u00e9\r\n\u20ac");
    QTest::newRow("Greek page bytes") << QByteArray("\xe1\xe2") << 1253 << QString::fromUtf8("\u03b1\u03b2");
  }
  void LoadsTextFiles() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, codePage);
    QFETCH(QString, text);
    auto* pages = Child<QComboBox>("codePageBox");
    pages->setCurrentIndex(pages->findData(codePage));
    QTemporaryDir dir;
    const QString path = dir.filePath("note.txt");
    QVERIFY(WriteFile(path, bytes));
    QVERIFY(window_->LoadInputFile(path));
    QCOMPARE(window_->InputText(), text);
  }

  void SavesTheWholeResultAsUtf8() {
    const QString plain = QString::fromUtf8("\u00e9t\u00e9 ") + LongText(trirotor::gui::kPaneShowLimit + 10);
    window_->SetInputText(Seal(plain, "key"), "test");
    Type("keyEdit", "key");
    Click("decodeButton");
    QTemporaryDir dir;
    const QString path = dir.filePath("plain.txt");
    QVERIFY(window_->SaveResultTo(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), plain.toUtf8());
  }

  void DropLoadsTheFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("dropped.b64");
    QVERIFY(WriteFile(path, "QUJDRA=="));
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path)});
    // A drop is delivered only to a widget that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_, &drop);
    QCOMPARE(window_->InputText(), QString("QUJDRA=="));
  }

  void RefusesAFileOverTheLimit() {
    QTemporaryDir dir;
    const QString path = dir.filePath("huge.b64");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(trirotor::gui::kMaxFileBytes + 1));  // sparse: costs no disk
    file.close();
    window_->SetInputText("kept", "typed");
    QVERIFY(!window_->LoadInputFile(path));
    QVERIFY2(Status().contains("too large"), qPrintable(Status()));
    QCOMPARE(window_->InputText(), QString("kept"));
  }

  void LongTextsAreHeldNotLaidOut() {
    const QString plain = LongText(trirotor::gui::kPaneShowLimit * 3);
    window_->SetInputText(plain, "big.txt");
    QVERIFY(Child<QPlainTextEdit>("inputEdit")->toPlainText().size() <= trirotor::gui::kPaneShowLimit);
    QCOMPARE(window_->InputText(), plain);
    Type("keyEdit", "key");
    Click("encodeButton");
    window_->SetInputText(window_->ResultText(), "result");
    Click("decodeButton");
    QVERIFY(Child<QPlainTextEdit>("resultEdit")->toPlainText().size() <= trirotor::gui::kPaneShowLimit);
    QCOMPARE(window_->ResultText(), plain);
    Click("copyButton");
    QCOMPARE(QGuiApplication::clipboard()->text(), plain);
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
