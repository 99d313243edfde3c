// make_review_page REPORT AUDIO [OPTIONS [COMMAND]]: the review page for a report
// text read from the file REPORT, on stdout. The browser tests use it for reports
// the library does not make (a generated ten-hour level curve).
#include "review_page.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: make_review_page REPORT AUDIO [OPTIONS [COMMAND]]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        fprintf(stderr, "make_review_page: cannot open %s\n", argv[1]);
        return 1;
    }
    std::ostringstream report;
    report << in.rdbuf();
    std::string page = silsplit_cli::review_page(report.str(), argv[2], argc > 3 ? argv[3] : "",
                                                 argc > 4 ? argv[4] : "");
    if (page.empty()) {
        fprintf(stderr, "make_review_page: %s is not a report\n", argv[1]);
        return 1;
    }
    return fwrite(page.data(), 1, page.size(), stdout) == page.size() ? 0 : 1;
}
