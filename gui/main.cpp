// SPDX-License-Identifier: MIT
//
// main.cpp - trirotor-gui: starts the window.
//
// trirotor-gui [--key-file FILE] [--suffix TEXT] [--decode] [--screenshot PNG] [MESSAGE]
// A message file and a key file may be given so that a decode is one click
// (or none, with --decode); --screenshot saves the window as it then looks
// and quits, which is how the README's picture is made.

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>

#include "gui/main_window.h"

namespace {

constexpr qint64 kMaxKeyFileBytes = 64 * 1024;

// A key file holds the key in UTF-8 and, usually, one line end after it.
bool ReadKeyFile(const QString& path, QString* key) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  QByteArray bytes = file.read(kMaxKeyFileBytes + 1);
  if (bytes.size() > kMaxKeyFileBytes) return false;
  if (bytes.endsWith('\n')) bytes.chop(1);
  if (bytes.endsWith('\r')) bytes.chop(1);
  *key = QString::fromUtf8(bytes);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("trirotor-gui");
  QApplication::setApplicationVersion(QStringLiteral(TRIROTOR_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription("The trirotor window: decode and encode sealed messages.");
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption keyFileOption("key-file", "Read the key from FILE (one line end dropped).",
                                         "FILE");
  const QCommandLineOption suffixOption("suffix", "Start with TEXT as the key suffix.", "TEXT");
  const QCommandLineOption decodeOption("decode", "Decode the message at start.");
  const QCommandLineOption screenshotOption(
      "screenshot", "Save a picture of the window to PNG once it is shown, then quit.", "PNG");
  parser.addOption(keyFileOption);
  parser.addOption(suffixOption);
  parser.addOption(decodeOption);
  parser.addOption(screenshotOption);
  parser.addPositionalArgument("message", "A message file to open.", "[MESSAGE]");
  parser.process(app);

  trirotor::gui::MainWindow window;
  const QStringList files = parser.positionalArguments();
  if (!files.isEmpty()) window.LoadInputFile(files.first());
  if (parser.isSet(keyFileOption)) {
    QString key;
    if (!ReadKeyFile(parser.value(keyFileOption), &key)) {
      std::fprintf(stderr, "trirotor-gui: cannot read the key file %s (or it is over 64 KiB)\n",
                   qPrintable(parser.value(keyFileOption)));
      return 2;
    }
    window.findChild<QLineEdit*>("keyEdit")->setText(key);
  }
  if (parser.isSet(suffixOption)) {
    window.findChild<QLineEdit*>("suffixEdit")->setText(parser.value(suffixOption));
  }
  window.show();
  // Decode from the event loop, so that the window is on screen while it runs.
  if (parser.isSet(decodeOption)) QTimer::singleShot(0, &window, &trirotor::gui::MainWindow::Decode);
  if (parser.isSet(screenshotOption)) {
    const QString path = parser.value(screenshotOption);
    QTimer::singleShot(500, &window, [&window, path] {
      const bool saved = window.grab().save(path, "PNG");
      if (!saved) std::fprintf(stderr, "trirotor-gui: cannot write %s\n", qPrintable(path));
      QCoreApplication::exit(saved ? 0 : 2);
    });
  }
  return app.exec();
}
