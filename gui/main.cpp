// SPDX-License-Identifier: MIT
//
// main.cpp - trirotor-gui: starts the window.
//
// trirotor-gui [--key-file FILE] [--suffix TEXT | --suffix-file FILE] [--decode] [--screenshot PNG]
//              [MESSAGE]
// A message file and a key file may be given so that a decode is one click
// (or none, with --decode); --screenshot saves the window as it then looks
// and quits, which is how the README's picture is made. --help, --version
// and a command line it cannot read are answered without a display; a file
// it cannot use ends the program, with the reason, before the window shows.

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>
#include <string>

#include "gui/main_window.h"
#include "support/build_info.h"

namespace {

// Whether the command line holds an option of the windowing system's own
// start-up (-platform, -style, ...), which the window's parser knows only
// once QApplication has taken it out.
bool MentionsQtOption(const QStringList& arguments) {
  static const QStringList kNames = {"platform",        "platformpluginpath",
                                     "platformtheme",   "plugin",
                                     "qwindowgeometry", "qwindowicon",
                                     "qwindowtitle",    "reverse",
                                     "session",         "style",
                                     "stylesheet",      "widgetcount",
                                     "display",         "geometry",
                                     "title",           "name",
                                     "dialogs",         "nograb",
                                     "dograb",          "visual",
                                     "qmljsdebugger"};
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == QLatin1String("--")) break;
    if (!argument.startsWith('-')) continue;
    const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1).section('=', 0, 0);
    if (kNames.contains(name)) return true;
  }
  return false;
}

// Whether the command line is answered by the parser alone (help, the
// version, or what is wrong with it), which needs no display.
bool AnsweredWithoutWindow(QCommandLineParser& parser, const QStringList& arguments, const QCommandLineOption& help,
                           const QCommandLineOption& version) {
  if (MentionsQtOption(arguments)) return false;
  if (!parser.parse(arguments)) return true;
  return parser.isSet(help) || parser.isSet("help-all") || parser.isSet(version);
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication::setApplicationName("trirotor-gui");
  // Names the installed desktop entry, whose icon the desktop then shows
  // for the window (on Wayland, the window's app id).
  QGuiApplication::setDesktopFileName("trirotor-gui");
  // --version prints "trirotor-gui VERSION" and the build, as the tool does.
  QCoreApplication::setApplicationVersion(
      QString::fromStdString(std::string(trirotor::support::Version()) + "\n" + trirotor::support::BuildDescription()));

  QCommandLineParser parser;
  parser.setApplicationDescription("The trirotor window: decode and encode sealed messages.");
  const QCommandLineOption helpOption = parser.addHelpOption();
  const QCommandLineOption versionOption = parser.addVersionOption();
  const QCommandLineOption keyFileOption(
      "key-file", "Read the key from FILE (UTF-8; a byte-order mark and one line end dropped).", "FILE");
  const QCommandLineOption suffixFileOption("suffix-file", "Read the key suffix from FILE, as --key-file does.",
                                            "FILE");
  const QCommandLineOption suffixOption("suffix", "Start with TEXT as the key suffix.", "TEXT");
  const QCommandLineOption decodeOption("decode", "Decode the message at start.");
  const QCommandLineOption screenshotOption("screenshot",
                                            "Save a picture of the window to PNG once it is shown, then quit.", "PNG");
  parser.addOption(keyFileOption);
  parser.addOption(suffixOption);
  parser.addOption(suffixFileOption);
  parser.addOption(decodeOption);
  parser.addOption(screenshotOption);
  parser.addPositionalArgument("message", "A message file to open.", "[MESSAGE]");

  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  if (AnsweredWithoutWindow(parser, arguments, helpOption, versionOption)) {
    QCoreApplication core(argc, argv);
    parser.process(core);  // prints the answer and exits
    return 1;
  }
  QApplication app(argc, argv);
  parser.process(app);

  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) {
    std::fprintf(stderr, "trirotor-gui: %lld message files given; the window opens one\n",
                 static_cast<long long>(files.size()));
    return 2;
  }
  trirotor::gui::MainWindow window;
  const auto complain = [&window] {
    std::fprintf(stderr, "trirotor-gui: %s\n", qPrintable(window.findChild<QLabel*>("statusLabel")->text()));
  };
  // The message file and the key files are read as the command line reads
  // them; a file that cannot be used ends the program before the window
  // shows.
  if (!files.isEmpty() && !window.LoadInputFile(files.first())) {
    complain();
    return 2;
  }
  using KeyField = trirotor::gui::MainWindow::KeyField;
  const auto readKeyFile = [&](const QCommandLineOption& option, KeyField field) {
    if (!parser.isSet(option) || window.LoadKeyFile(parser.value(option), field)) return true;
    complain();
    return false;
  };
  if (!readKeyFile(keyFileOption, KeyField::kKey)) return 2;
  if (parser.isSet(suffixOption)) {
    window.findChild<QLineEdit*>("suffixEdit")->setText(parser.value(suffixOption));
  }
  if (!readKeyFile(suffixFileOption, KeyField::kSuffix)) return 2;
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
