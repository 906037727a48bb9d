// Files built into the report library: the plotting library (Debian's libjs-dygraphs) and
// the page's own markup, style and script, each as the bytes of the file.
#pragma once

namespace corvane::report {

struct Asset {
    const char* begin;
    const char* end;
};

extern const Asset dygraph_js;
extern const Asset dygraph_css;
extern const Asset page_html;
extern const Asset page_css;
extern const Asset page_js;

}  // namespace corvane::report
