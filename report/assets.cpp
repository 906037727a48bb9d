// The assembler's .incbin puts each file's bytes into the library when it is compiled, so
// the report needs no file at run time and no generator step at build time. The build
// passes each file's path as a string literal (CORVANE_ASSET_*) and rebuilds this file
// when one of them changes.
#include "assets.hpp"

#ifndef CORVANE_ASSET_DYGRAPH_JS
#error "the build must define CORVANE_ASSET_DYGRAPH_JS and the other asset paths"
#endif

// name, name_end: hidden symbols around the file's bytes, in read-only data.
#define CORVANE_EMBED(name, path)                  \
    asm(".pushsection .rodata\n"                  \
        ".balign 16\n"                            \
        ".globl " #name "\n"                      \
        ".hidden " #name "\n" #name ":\n"         \
        ".incbin \"" path "\"\n"                  \
        ".globl " #name "_end\n"                  \
        ".hidden " #name "_end\n" #name "_end:\n" \
        ".byte 0\n"                               \
        ".popsection\n")

CORVANE_EMBED(corvane_report_dygraph_js, CORVANE_ASSET_DYGRAPH_JS);
CORVANE_EMBED(corvane_report_dygraph_css, CORVANE_ASSET_DYGRAPH_CSS);
CORVANE_EMBED(corvane_report_page_html, CORVANE_ASSET_PAGE_HTML);
CORVANE_EMBED(corvane_report_page_css, CORVANE_ASSET_PAGE_CSS);
CORVANE_EMBED(corvane_report_page_js, CORVANE_ASSET_PAGE_JS);

extern "C" {
extern const char corvane_report_dygraph_js[], corvane_report_dygraph_js_end[];
extern const char corvane_report_dygraph_css[], corvane_report_dygraph_css_end[];
extern const char corvane_report_page_html[], corvane_report_page_html_end[];
extern const char corvane_report_page_css[], corvane_report_page_css_end[];
extern const char corvane_report_page_js[], corvane_report_page_js_end[];
}

namespace corvane::report {

const Asset dygraph_js{corvane_report_dygraph_js, corvane_report_dygraph_js_end};
const Asset dygraph_css{corvane_report_dygraph_css, corvane_report_dygraph_css_end};
const Asset page_html{corvane_report_page_html, corvane_report_page_html_end};
const Asset page_css{corvane_report_page_css, corvane_report_page_css_end};
const Asset page_js{corvane_report_page_js, corvane_report_page_js_end};

}  // namespace corvane::report
