// The program's texts that whole-transcript tests expect, written out once for all of them:
// the two menus, the main menu's prompt and the test report.
#pragma once

#include <string>

namespace transcript {

inline const std::string kMainMenu = "   __________________________________\n"
                                     "  |            Quorvane              |\n"
                                     "  |__________________________________|\n"
                                     "  |  1. Ct_init                      |\n"
                                     "  |  2. Reset CT                     |\n"
                                     "  |  3. Reset ICC                    |\n"
                                     "  |  4. Open REQ File                |\n"
                                     "  |  5. Run Scenario                 |\n"
                                     "  |  6. Ct_close                     |\n"
                                     "  |  7. Ctbcs                        |\n"
                                     "  |  8. Exit                         |\n"
                                     "  |__________________________________|\n"
                                     "  | Enter your Choice : ";

inline const std::string kCtbcsMenu = "   __________________________________\n"
                                      "  |              Ctbcs               |\n"
                                      "  |__________________________________|\n"
                                      "  |  1. Ct_init                      |\n"
                                      "  |  2. Reset CT                     |\n"
                                      "  |  3. Reset ICC                    |\n"
                                      "  |  4. CT Info                      |\n"
                                      "  |  5. ICC Status                   |\n"
                                      "  |  6. Request ICC                  |\n"
                                      "  |  7. Eject ICC                    |\n"
                                      "  |  8. Ct_close                     |\n"
                                      "  |  9. Exit                         |\n"
                                      "  |__________________________________|\n"
                                      "  | Enter your Choice : ";

// The last line of either menu: where the program waits for a choice.
inline const std::string kPrompt = "  | Enter your Choice : ";

inline std::string Report(int total, int passed, int failed) {
    return "\n\n\nTest Report\n______________\nTotal no of Tests\t:" + std::to_string(total) +
           "\nNo of Tests Passed\t:" + std::to_string(passed) +
           "\nNo of Tests Failed\t:" + std::to_string(failed) + "\n";
}

inline std::string Report(int total, int passed) {
    return Report(total, passed, total - passed);
}

// `text` `times` times in a row, e.g. the menu redisplayed for each ignored choice.
inline std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

} // namespace transcript
