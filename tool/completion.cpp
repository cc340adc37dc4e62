// The bash completion script, made from the option tables the commands parse
// with, so that every option a command takes completes and no other does.
#include "tool/commands.h"

namespace tool {

namespace {

struct CommandTable {
  const char* name;
  std::vector<OptionDef> options;
};

// "-o|--output) values='FILE' ;;" for each option that takes a value.
std::string ValueCases(const std::vector<OptionDef>& options) {
  std::string cases;
  for (const OptionDef& option : options) {
    if (!option.takesValue) continue;
    cases += "        " + (option.alias.empty() ? "" : option.alias + "|") + option.name + ") values='" +
             option.values + "' ;;\n";
  }
  return cases;
}

}  // namespace

std::string BashCompletion() {
  const CommandTable commands[] = {{"pack", PackOptions()},         {"list", ListOptions()},
                                   {"test", TestOptions()},         {"extract", ExtractOptions()},
                                   {"restub", RestubOptions()}};
  std::string names, cases;
  for (const CommandTable& command : commands) {
    std::string words;
    for (const OptionDef& option : command.options)
      words += (words.empty() ? "" : " ") + (option.alias.empty() ? "" : option.alias + " ") + option.name;
    names += std::string(names.empty() ? "" : " ") + command.name;
    cases += std::string("    ") + command.name + ")\n      options='" + words + "'\n      case $prev in\n" +
             ValueCases(command.options) + "      esac ;;\n";
  }
  return "# bash completion for dolm, made by 'dolm --bash-completion' from the option\n"
         "# tables of its commands.\n"
         "_dolm() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    COMPREPLY=($(compgen -W '" + names + " --help --version' -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  # values stays '-' unless the word before names an option that takes a value.\n"
         "  local options='' values=- word\n"
         "  case ${COMP_WORDS[1]} in\n" + cases +
         "  esac\n"
         "  COMPREPLY=()\n"
         "  if [ \"$values\" != - ]; then\n"
         "    for word in $values; do\n"
         "      case $word in\n"
         "        FILE) COMPREPLY+=($(compgen -f -- \"$cur\")) ;;\n"
         "        DIR) COMPREPLY+=($(compgen -d -- \"$cur\")) ;;\n"
         "        *) [[ $word == \"$cur\"* ]] && COMPREPLY+=(\"$word\") ;;\n"
         "      esac\n"
         "    done\n"
         "    # A NAME= word waits for its value.\n"
         "    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null\n"
         "  elif [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _dolm dolm\n";
}

}  // namespace tool
