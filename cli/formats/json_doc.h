// Owners of yyjson's documents and of the texts it writes, for the program's
// files that read or write JSON.
#ifndef SILSPLIT_CLI_FORMATS_JSON_DOC_H
#define SILSPLIT_CLI_FORMATS_JSON_DOC_H

#include <yyjson.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace silsplit_cli {

struct JsonDocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using JsonDoc = std::unique_ptr<yyjson_doc, JsonDocFree>;
using JsonMutDoc = std::unique_ptr<yyjson_mut_doc, JsonDocFree>;

// The document of json, or NULL when it is not JSON.
inline JsonDoc read_json(const std::string &json, yyjson_read_flag flags = 0) {
    return JsonDoc(yyjson_read(json.data(), json.size(), flags));
}

// A text yyjson wrote (a heap block, freed here) as a string; "" for NULL.
inline std::string take_json_text(char *text) {
    std::string out = text ? text : "";
    free(text);
    return out;
}

} // namespace silsplit_cli

#endif
