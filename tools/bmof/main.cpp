// vxbmof: compiles a MOF source into the compressed binary MOF that the
// driver image carries as its MOFDATA resource, and dumps such a file.
//
//   vxbmof <input.mof> <output.bmf>   compile
//   vxbmof --dump <file.bmf>          decode and print the classes
#include "Layout.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

std::string ReadFile(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw vxbmof::Error(std::string("cannot open ") + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const char *path, const vxbmof::Bytes &bytes)
{
    // Write beside the target and rename, so a failed run never leaves a
    // truncated file that a later build would take for up to date.
    std::string temporary = std::string(path) + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            std::remove(temporary.c_str());
            throw vxbmof::Error(std::string("cannot write ") + path);
        }
    }
    if (std::rename(temporary.c_str(), path) != 0) {
        std::remove(temporary.c_str());
        throw vxbmof::Error(std::string("cannot write ") + path);
    }
}

std::string Show(const vxbmof::Value &value)
{
    if (const bool *b = std::get_if<bool>(&value)) {
        return *b ? "true" : "false";
    }
    if (const std::int32_t *i = std::get_if<std::int32_t>(&value)) {
        return std::to_string(*i);
    }
    return "\"" + std::get<std::string>(value) + "\"";
}

std::string Show(const std::vector<vxbmof::Qualifier> &qualifiers)
{
    std::string out = "[";
    for (std::size_t i = 0; i < qualifiers.size(); ++i) {
        out += (i ? ", " : "") + qualifiers[i].name + "(" + Show(qualifiers[i].value) + ")";
        if (qualifiers[i].flavor) {
            char flavor[16];
            std::snprintf(flavor, sizeof flavor, ":0x%x", qualifiers[i].flavor);
            out += flavor;
        }
    }
    return out + "]";
}

int Dump(const char *path)
{
    std::string bytes = ReadFile(path);
    vxbmof::Bytes container(bytes.begin(), bytes.end());
    vxbmof::Bytes data = vxbmof::Unpack(container);
    vxbmof::Decoded decoded = vxbmof::DecodeObjects(data);
    std::cout << path << ": " << container.size() << " bytes, " << data.size() << " decompressed\n";
    for (const vxbmof::ClassDecl &c : decoded.classes) {
        std::cout << "namespace " << c.nameSpace << "\n" << Show(c.qualifiers) << "\nclass " << c.name;
        if (!c.superclass.empty()) {
            std::cout << " : " << c.superclass;
        }
        std::cout << "\n{\n";
        for (const vxbmof::Property &p : c.properties) {
            std::cout << "    " << Show(p.qualifiers) << " " << p.typeName << " " << p.name << (p.isArray ? "[]" : "");
            if (p.defaultValue) {
                std::cout << " = " << Show(*p.defaultValue);
            }
            std::cout << ";\n";
        }
        std::cout << "};\n";
    }
    std::cout << decoded.flavors.size() << " qualifier flavor entries\n";
    return 0;
}

int Compile(const char *input, const char *output)
{
    vxbmof::Bytes container = vxbmof::CompileMof(ReadFile(input));
    WriteFile(output, container);
    // Prove the file decodes before anyone embeds it.
    vxbmof::DecodeBmof(container);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        if (argc == 3 && std::string_view(argv[1]) == "--dump") {
            return Dump(argv[2]);
        }
        if (argc == 3 && argv[1][0] != '-') {
            return Compile(argv[1], argv[2]);
        }
        std::cerr << "usage: vxbmof <input.mof> <output.bmf>\n       vxbmof --dump <file.bmf>\n";
        return 2;
    } catch (const vxbmof::Error &error) {
        // The file the failure is about: the input of a compile or the dumped file.
        const char *file = std::string_view(argv[1]) == "--dump" ? argv[2] : argv[1];
        std::cerr << "vxbmof: " << file << ": " << error.what() << "\n";
        return 1;
    }
}
