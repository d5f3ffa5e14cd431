#include "doc/store_opener.hpp"

#include "doc/storage.hpp"

namespace chat {

vemo_ui::persist::OpenResult open_document_store(std::string_view app_id,
                                                 vemo_ui::persist::StoreOptions const& options) {
    if (auto dir = data_directory())
        return vemo_ui::persist::open_migrating(app_id, options, *dir / document_file_name);
    return vemo_ui::persist::open(app_id, options);
}

}  // namespace chat
