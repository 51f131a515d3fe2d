// What a new user meets first: `make run` (scripts/run-quorvane) choosing between the machine's
// readers and the test bed by the cards they hold, Ctrl-C at the program's prompt ending
// `make run` as a normal end, and quorvane-run pointing to quorvane-bed where there is no reader.
// The machine's PC/SC service is a pcscd of the test's own; the program and the bed are stand-ins
// that say how they were started.
#include "pty_screen.h"
#include "temp_tree.h"
#include "text_files.h"

#include "bed/pcscd.h"
#include "bed/sim_card.h"
#include "bed_run.h"
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The program: says where it runs, waits at a prompt, and ends as the real one does (255, or
// 130 when Ctrl-C ends it at a prompt).
const char* const kProgram = "#!/bin/bash\n"
                             "echo \"quorvane started in $PWD\"\n"
                             "trap 'exit 130' INT\n"
                             "printf 'Your choice: '\n"
                             "read -r choice\n"
                             "exit 255\n";
// The bed: says how it was started, then runs the command after "--".
const char* const kBed = "#!/bin/bash\n"
                         "echo \"quorvane-bed $*\"\n"
                         "while [ \"$1\" != -- ]; do shift; done\n"
                         "shift\n"
                         "exec \"$@\"\n";

// The machine's PC/SC service as a row finds it.
enum class Machine { NoService, NoReaders, ReadersWithoutCard, CardInReader2 };

TEST(NewUser, MakeRunChoosesByTheCardsAndQuorvaneRunPointsToTheBed) {
    if (!bed::InSandbox())
        GTEST_SKIP() << "needs testbed/sandbox";
    const fs::path dir = temptree::Make("new_user");
    // A build folder of stand-ins beside the real reader probe.
    const fs::path build = dir / "build";
    fs::create_directories(build / "bin");
    textfile::Write(build / "bin/quorvane", kProgram);
    textfile::Write(build / "bin/quorvane-bed", kBed);
    for (const char* tool : {"quorvane", "quorvane-bed"})
        fs::permissions(build / "bin" / tool, fs::perms::owner_all, fs::perm_options::add);
    fs::create_symlink(bed::BuildPath("bin/bed-readers"), build / "bin/bed-readers");
    const std::string script = bed::SourcePath("scripts/run-quorvane");
    textfile::Write(dir / "Makefile", "run:\n\t@'" + script + "' '" + build.string() + "'\n");
    textfile::Write(dir / "demo.req", "2,0 00 A4 00 0C 02 3F 00\n> 90 00\n");
    const std::string runner = bed::BuildPath("bin/quorvane-run");

    struct Case {
        const char* what;
        Machine machine;
        std::vector<std::string> command;
        int status;
        std::vector<std::string> says;
        std::vector<std::string> never = {};
        bool ctrlC = false; // in a terminal, Ctrl-C at the program's prompt
    };
    const std::string inBed =
        "quorvane-bed --card 0=" + bed::SourcePath("testbed/cards/demo.card") + " -- ";
    const std::string started = "quorvane started in " + bed::SourcePath("examples");
    const std::vector<Case> cases = {
        {"readers that hold no card are not the machine's readers to use",
         Machine::ReadersWithoutCard,
         {script, build.string()},
         0,
         {"lists 2 reader(s), none with a card", inBed, started},
         {"Using the PC/SC readers"}},
        {"a card in a reader: that reader, named",
         Machine::CardInReader2,
         {script, build.string()},
         0,
         {"Using the PC/SC readers of this machine. A card is in:\n"
          "  reader 2, 'Virtual PCD 00 01' (answer 2 at choice 1)\n",
          started},
         {"quorvane-bed"}},
        {"no PC/SC service: the bed", Machine::NoService, {script, build.string()}, 0, {inBed}},
        {"Ctrl-C at the prompt ends make run normally",
         Machine::NoService,
         {"/usr/bin/make", "-C", dir.string(), "run"},
         0,
         {inBed, "Your choice: "},
         {"Interrupt", "Error"},
         true},
        {"quorvane-run without a PC/SC service points to the bed",
         Machine::NoService,
         {runner, (dir / "demo.req").string()},
         2,
         {"no PC/SC service", "quorvane-bed --card 0=FILE.card -- quorvane-run"}},
        {"quorvane-run without a reader points to the bed",
         Machine::NoReaders,
         {runner, (dir / "demo.req").string()},
         2,
         {"no reader: PC/SC lists none", "quorvane-bed --card 0=FILE.card -- quorvane-run"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<bed::Pcscd> pcscd;
        std::unique_ptr<bed::SimCard> card;
        if (c.machine != Machine::NoService) {
            bed::PcscdOptions options;
            options.withVpcd = c.machine != Machine::NoReaders;
            pcscd = std::make_unique<bed::Pcscd>(options);
        }
        if (c.machine == Machine::CardInReader2) {
            card = std::make_unique<bed::SimCard>(bed::ParseCardScript("atr 3B 02 14 50\n"), 1);
            card->Insert();
            ASSERT_TRUE(bed::WaitForCard(bed::ReaderName(1), true));
        }
        int status = -1;
        std::string out;
        if (c.ctrlC) {
            ptyscreen::Screen screen(c.command);
            EXPECT_TRUE(screen.WaitForOutput("Your choice: ", 0, 30s)) << screen.Output();
            screen.Type("\x03");
            status = screen.Wait(30s).value_or(-1);
            out = screen.Output();
        } else {
            const bed::RunResult r = bed::Run(c.command, {});
            ASSERT_FALSE(r.timedOut) << r.out;
            status = r.status;
            out = r.out;
        }
        EXPECT_EQ(status, c.status) << out;
        for (const std::string& text : c.says)
            EXPECT_NE(out.find(text), std::string::npos) << "missing: " << text << "\n" << out;
        for (const std::string& text : c.never)
            EXPECT_EQ(out.find(text), std::string::npos) << "there: " << text << "\n" << out;
    }
    temptree::Remove(dir);
}

} // namespace
