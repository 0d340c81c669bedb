// img3d: runs the library's segmentation chain on volume files.
//
//   img3d segment INPUT [-o OUTPUT] [--labels LABELS] [--preview FILE.png] ...
//   img3d objects INPUT [--value V] [--csv | --json]
//   img3d demo [INPUT] [-o DIR]
//
// This file only wires the grammar (grammar.h) to CLI11, the one translation
// unit that includes it: CLI11 takes a long time to compile.
//
// Exit status: 0 done; 1 the run failed for want of memory; 2 bad input, bad
// arguments, or an output that cannot or must not be written (nothing is
// written then); 128 + N stopped by signal N (nothing is written either).
#include <img3d.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "grammar.h"
#include "output_files.h"

using namespace img3d_tool;

namespace {

// One command's arguments as CLI11 fills them.
struct Parsed {
    const CommandRule* rule;
    CLI::App* app;
    std::map<std::string, std::string> texts;
    std::map<std::string, CLI::Option*> options;
};

void add_command(CLI::App& app, const CommandRule& rule, Parsed& parsed) {
    parsed.rule = &rule;
    parsed.app = app.add_subcommand(rule.name, rule.help);
    for (const ArgumentRule& a : rule.arguments) {
        CLI::Option* option = nullptr;
        if (a.value.empty()) {
            option = parsed.app->add_flag(a.names, a.help);
        } else {
            option = parsed.app->add_option(a.names, parsed.texts[a.key], a.help)->type_name(a.value);
            if (!a.initial.empty()) option->default_str(a.initial);
        }
        if (a.required) option->required();
        parsed.options[a.key] = option;
    }
}

// What was given, in the order of the command's arguments.
Arguments arguments_of(const Parsed& parsed) {
    Arguments arguments;
    arguments.command = parsed.rule->name;
    for (const ArgumentRule& a : parsed.rule->arguments)
        if (parsed.options.at(a.key)->count() > 0)
            arguments.given.emplace_back(a.key, a.value.empty() ? "" : parsed.texts.at(a.key));
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    install_interrupt_handlers();
    // Past a file size limit a write fails with EFBIG, which is reported and
    // cleaned up like any other, instead of killing the run mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"img3d " IMG3D_VERSION ": segment 3D volumes (NIfTI-1, NIfTI-2 or raw) with the img3d library",
                 "img3d"};
    app.require_subcommand(1);
    app.set_version_flag("--version", IMG3D_VERSION);
    app.footer(
        "Exit status: 0 done; 1 not enough memory; 2 bad input, bad arguments, or an output that cannot or must not "
        "be written; 128+N stopped by signal N.  A failed or stopped run leaves no output behind.");

    const std::vector<CommandRule>& rules = command_rules();
    std::vector<Parsed> commands(rules.size());
    for (std::size_t i = 0; i < rules.size(); ++i) add_command(app, rules[i], commands[i]);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "img3d: %s (see img3d --help)\n", one_line(e.what()).c_str());
        return kExitBadInput;
    }
    for (const Parsed& parsed : commands)
        if (*parsed.app) return run_command(arguments_of(parsed));
    return kExitBadInput;
}
