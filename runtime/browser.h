// The browser around the machine, simulated from the command line: the
// variables of the browser context, the navigation a script asks for (done
// only when it ends), the dialogs' input, and the resources and units that
// URLs map to. tavok-run fills it from its options; the URL, WMLBrowser and
// Dialogs libraries and the machine's external calls read and change it.
// Nothing is ever fetched from the network: a URL that no mapping names
// and that is not a file: URL cannot be loaded.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <string_view>

namespace tavokrt {

struct Browser {
  // WMLBrowser.getVar / setVar, by name; --var NAME=VALUE.
  std::map<std::string, std::string> variables;
  // Bytes of the names and values setVar has added beyond those it
  // replaced; the machine's memory budget bounds it.
  std::size_t variableBytes = 0;
  // The current card's absolute URL (--card); empty when there is none.
  std::string currentCard;

  // Deferred navigation: the last go/prev wins; go("") cancels.
  enum class Navigation { None, Go, Prev };
  Navigation navigation = Navigation::None;
  std::string goUrl;
  bool refreshRequested = false;

  // Dialogs: text to errorStream (LibraryContext), answers from input; with
  // batch any dialog is a fatal error.
  std::FILE *input = stdin;
  bool batch = false;

  // URL.loadString: --load URL=FILE[:TYPE] (type default text/plain).
  struct Resource {
    std::string file;
    std::string contentType;
  };
  std::map<std::string, Resource> resources;
  // External units: --unit URL=FILE.
  std::map<std::string, std::string> units;
};

// Whether name may name a browser variable: a letter or '_', then letters,
// digits and '_' (ASCII only).
bool isBrowserVariableName(std::string_view name);

} // namespace tavokrt
