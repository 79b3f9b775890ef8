// dalvento-exportgen FOLDER [--layer-mb N] [--tables-mb N] [--other-files N] [--other-kb N]
//                           [--crea-date YYYYMMDD] [--seed N] [--broken FORM]
// Writes a realistic export under FOLDER (arcgis/, parcels/, other/) for demos and benchmarks.
// --broken writes it cut off or damaged in one of the forms the checks catch (shp-cut, ...).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/platform/platform.h"
#include "export_generator.h"

int main(int argc, char** argv) {
    using namespace dalvento;
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: dalvento-exportgen FOLDER [--layer-mb N] [--tables-mb N] "
                     "[--other-files N] [--other-kb N] [--crea-date YYYYMMDD] [--seed N] "
                     "[--broken FORM]\n"
                     "FORM is one of:");
        for (const exportgen::BrokenForm form : exportgen::BROKEN_FORMS) {
            std::fprintf(stderr, " %s", std::string(exportgen::broken_form_name(form)).c_str());
        }
        std::fprintf(stderr, "\n");
        return 2;
    }
    exportgen::ExportSpec shape;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--layer-mb")
            shape.layer_bytes = std::stoull(value) << 20;
        else if (option == "--tables-mb")
            shape.table_bytes = std::stoull(value) << 20;
        else if (option == "--other-files")
            shape.other_files = std::stoi(value);
        else if (option == "--other-kb")
            shape.other_file_bytes = std::stoull(value) << 10;
        else if (option == "--crea-date")
            shape.crea_date = value;
        else if (option == "--seed")
            shape.seed = static_cast<uint32_t>(std::stoul(value));
        else if (option == "--broken") {
            const auto form = exportgen::broken_form_from_name(value);
            if (!form) {
                std::fprintf(stderr, "unknown form %s; run without arguments for the list\n",
                             value.c_str());
                return 2;
            }
            shape.broken = *form;
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    const auto made = exportgen::generate_exports(platform::path_from_text(argv[1]), shape);
    if (!made) {
        std::fprintf(stderr, "could not write the export: %s\n", made.error().c_str());
        return 1;
    }
    std::printf("wrote %llu bytes: %s, %s, %s\n",
                static_cast<unsigned long long>(made->total_bytes),
                platform::path_text(made->layers_folder).c_str(),
                platform::path_text(made->tables_folder).c_str(),
                platform::path_text(made->other_folder).c_str());
    return 0;
}
