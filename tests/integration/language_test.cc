// The terminal in the user's language: each language the program ships,
// English, and the pseudo-translation, on a real pseudo-terminal.

#include <regex>

#include "tests/integration/harness.h"
#include "util/text_columns.h"

// Rows: the locale, the catalogue asked for first (LANGUAGE), the start of
// the summary of a download that ends well, words of the failure of one
// that is cut and then gone, and the decimal sign of its sizes. Every line
// fits 80 columns; in English every text is the C locale's, byte for byte;
// under the pseudo-translation (accented letters) no plain letter is left,
// so no text bypasses the catalogue.
TEST(Languages, TerminalSpeaksTheUsersLanguageInEightyColumns) {
  servers().publish("words.zip", "v1", 2 << 20);
  const struct { const char *lang, *language, *done, *failed, *decimal; } cases[] = {
      {"C", "", "Downloaded the installer: ", "does not have the installer (HTTP status 404).", "."},
      {"en_US.UTF-8", "", "Downloaded the installer: ", "does not have the installer", "."},
      {"de_DE.UTF-8", "", "Installationsprogramm heruntergeladen: ", "hat das Installationsprogramm nicht", ","},
      {"fr_FR.UTF-8", "", "Programme d’installation téléchargé", "n’a pas le programme d’installation", ","},
      {"es_ES.UTF-8", "", "Instalador descargado: ", "no tiene el instalador (estado HTTP 404).", ","},
      {"ru_RU.UTF-8", "", "Установщик загружен: ", "нет установщика (код HTTP 404).", ","},
      {"zh_CN.UTF-8", "", "已下载安装程序：", "上没有安装程序（HTTP 状态 404）。", "."},
      {"ar_EG.UTF-8", "", "نُزّل المثبّت: ", "لا يحتوي الخادم", "."},
      {"en_US.UTF-8", "en@pseudo", "[Đóŵñĺóáđéđ ţĥé íñšţáĺĺéŕ: [", "đóéš ñóţ ĥáṽé ţĥé", "."}};
  std::vector<std::unique_ptr<World>> worlds;
  std::vector<std::unique_ptr<Proc>> runs;
  for (const auto& c : cases)  // all at once, each ending well and failing
    for (const char* how : {"", "&cut=50%&change=gone.zip"}) {
      worlds.push_back(std::make_unique<World>());
      World& w = *worlds.back();
      fs::create_directory_symlink(fs::path(SETUP_BINARY).parent_path() / "locale",
                                   fs::path(w.program).parent_path() / "locale");
      w.download(servers().faultUrl + "serve/words.zip?pace=20&lang=" + c.lang + c.language + how);
      w.env.insert({{"LOCPATH", TEST_LOCALES}, {"LANG", c.lang}, {"LANGUAGE", c.language}});
      runs.push_back(onTerminal(w, w.env, 80));
    }
  Strings lefts;  // the rows each run left, figures masked
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto& c = cases[i / 2];
    const Result r = runs[i]->finish(90);
    bool fails = i % 2;
    SCOPED_TRACE(std::string(c.lang) + " " + c.language + (fails ? " failing" : ""));
    std::string plain = std::regex_replace(r.out, std::regex("\033\\[[0-9;]*[A-Za-z]"), "");
    const std::regex line("[^\r\n]+");
    for (std::sregex_iterator it(plain.begin(), plain.end(), line), end; it != end; ++it)
      EXPECT_LT(textColumns(it->str()), 80) << it->str();
    std::string left;
    for (const std::string& row : rowsLeft(r.out)) left += row + "\n";
    lefts.push_back(std::regex_replace(left, std::regex("[0-9]+"), "N"));
    // A size, not an address: a space (or a no-break one) after it.
    const std::regex decimal(std::string("[0-9]\\") + c.decimal + "[0-9]( |\u00a0)");
    EXPECT_EQ(std::make_tuple(r.status, has(left, fails ? c.failed : c.done),
                              std::regex_search(plain, decimal)),
              std::make_tuple(fails ? 255 : 0, true, true)) << r.out;
    EXPECT_TRUE(!*c.language || !std::regex_search(plain, std::regex("[A-Za-z]"))) << plain;
  }
  // English reads as C does.
  EXPECT_EQ(Strings(lefts.begin() + 2, lefts.begin() + 4), Strings(lefts.begin(), lefts.begin() + 2));
}
