// Fuzzes the studio's list writer against the launcher's parser: whatever make_manifest agrees
// to publish, every launcher reads back as the same version, news, program, deletions and files,
// and a launcher with a key finds the same signature, sequence and SHA-256 of every file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/publishing/manifest_text.h"
#include "update_list/signed_list.h"
#include "update_list/update_list.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

// Lines of the input, in order: version, run, then a marker byte per line picks what the rest of
// the line is: 'N' a line of the news file, 'D' delete, 'K' kept file, anything else a listed file.
static void settings_from(const std::string& input, ManifestSettings& settings, std::string& news_file,
                          std::vector<ManifestFile>& files)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        lines.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    settings.version = lines.size() > 0 ? lines[0] : "";
    settings.run = lines.size() > 1 ? lines[1] : "";
    for (size_t i = 2; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty())
            continue;
        std::string value = line.substr(1);
        if (line[0] == 'N') {
            news_file += value + "\n";
        } else if (line[0] == 'D') {
            settings.deletes.push_back(value);
        } else {
            static const char hex[] = "0123456789abcdef";
            std::string md5;
            for (size_t k = 0; k < 32; ++k)
                md5 += hex[(i * 7 + k * 13 + value.size()) % 16];
            files.push_back(ManifestFile{value, md5, uint64_t(i) * 1000003u + value.size(), line[0] == 'K',
                                         md5 + md5});
        }
    }
}

// The signature itself is opaque here: any 64 bytes stand for it.
static void check_signed(const std::string& text, const ManifestSettings& settings,
                         const std::vector<ManifestFile>& files, UpdateList& list)
{
    std::string closed = text;
    append_signature_line(std::string(64, '\xA5'), closed);
    ListSignature found;
    std::string error_text;
    require(find_list_signature(closed, found, error_text));
    require(found.signed_length == text.size() && found.signature == std::string(64, '\xA5'));
    uint64_t sequence = 0;
    require(read_signed_lines(text, list.files, sequence, error_text));
    require(sequence == settings.sequence);
    for (size_t i = 0; i < files.size(); ++i)
        require(list.files[i].sha256 == files[i].sha256);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    ManifestSettings settings;
    std::string news_file;
    std::vector<ManifestFile> files;
    settings_from(input, settings, news_file, files);
    settings.sign = input.size() % 2 == 1;
    settings.sequence = uint64_t(input.size()) * 0x9E3779B97F4A7C15u;
    std::string error_text;
    if (!read_news_lines(news_file, settings.news, error_text))
        return 0;

    std::vector<std::string> paths;
    for (const ManifestFile& file : files)
        paths.push_back(file.path);
    std::vector<std::string> refusals;
    if (!check_release_paths(paths, refusals) || !check_manifest_settings(settings, error_text))
        return 0;
    std::string text;
    if (!write_manifest_text(settings, files, text, error_text))
        return 0;

    UpdateList list;
    require(parse_update_list(text.c_str(), list));
    require(list.version == settings.version);
    std::string news;
    for (const std::string& line : settings.news)
        news += (news.empty() ? "" : "\n") + line;
    require(list.news == news);
    require(list.run == settings.run);
    require(list.deletes == settings.deletes);
    require(list.files.size() == files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        require(list.files[i].path == files[i].path);
        require(list.files[i].md5 == files[i].md5);
        require(list.files[i].size == files[i].size);
        require(list.files[i].keep == files[i].keep);
    }
    if (settings.sign)
        check_signed(text, settings, files, list);
    return 0;
}
