#include "actions/operations.hpp"

#include <algorithm>

namespace chat {

namespace {

using vemo_actions::OperationType;

template <class T>
bool has_id(std::vector<T> const& list, std::string_view id)
{
    return std::any_of(list.begin(), list.end(), [&](auto const& e) { return e.id == id; });
}

bool channel_in(model::ViewModel const& view, std::string_view channel, std::string_view workspace)
{
    return std::any_of(view.channels.begin(), view.channels.end(),
                       [&](auto const& c) { return c.id == channel && c.workspace == workspace; });
}

bool message_in(model::ViewModel const& view, std::string_view channel, std::string_view message)
{
    return std::any_of(view.all_messages.begin(), view.all_messages.end(),
                       [&](auto const& m) { return m.id == message && m.channel == channel; });
}

struct Navigator {
    model::ViewModel const& view;
    std::string const& current_workspace;
    OperationTarget& target;

    OperationOutcome operator()(operation::OpenWorkspace const& op)
    {
        if (!has_id(view.workspaces, op.workspace)) return OperationError{"workspace no longer exists"};
        target.open_workspace(op.workspace);
        return OperationDone{};
    }
    OperationOutcome operator()(operation::OpenChannel const& op)
    {
        if (!channel_in(view, op.channel, op.workspace)) return OperationError{"conversation no longer exists"};
        target.open_channel(op.workspace, op.channel);
        return OperationDone{};
    }
    OperationOutcome operator()(operation::OpenCategory const& op)
    {
        if (!has_id(view.categories, op.category)) return OperationError{"category no longer exists"};
        target.open_category(op.workspace, op.category);
        return OperationDone{};
    }
    OperationOutcome operator()(operation::RevealMessage const& op)
    {
        if (!channel_in(view, op.channel, op.workspace)) return OperationError{"conversation no longer exists"};
        if (!message_in(view, op.channel, op.message)) return OperationError{"message no longer exists"};
        target.reveal_message(op.workspace, op.channel, op.message, op.parent);
        return OperationDone{};
    }
    OperationOutcome operator()(operation::OpenPerson const& op)
    {
        if (!has_id(view.directory, op.user) && !has_id(view.people, op.user))
            return OperationError{"person no longer exists"};
        if (!has_id(view.workspaces, current_workspace)) return OperationError{"workspace no longer exists"};
        target.open_person(op.user);
        return OperationDone{};
    }
    OperationOutcome operator()(operation::ImportAttachment const&) { return OperationNotHandled{}; }
};

OperationOutcome import_attachment(operation::ImportAttachment const& op, std::optional<OperationType> type,
                                   model::ViewModel const& view, OperationTarget& target)
{
    if (type != OperationType::Effect) return OperationError{"attachment import requires an Effect operation"};
    if (op.path.empty()) return OperationError{"attachment path is empty"};
    if (!has_id(view.channels, op.channel)) return OperationError{"conversation no longer exists"};
    if (!target.start_attachment_import(op.channel, op.path))
        return OperationError{"attachment import was not accepted"};
    return OperationDone{};
}

}  // namespace

OperationOutcome handle_chat_operation(vemo_actions::EncodedAction const& encoded, model::ViewModel const& view,
                                       std::string const& current_workspace, OperationTarget& target)
{
    if (encoded.kind != chat_operation_kind) return OperationNotHandled{};
    auto op = decode_chat_operation(encoded.json);
    if (!op) return OperationError{op.error()};
    if (auto const* import = std::get_if<operation::ImportAttachment>(&*op))
        return import_attachment(*import, encoded.operation_type, view, target);
    if (encoded.operation_type == OperationType::Effect)
        return OperationError{"Chat navigation requires a View operation"};
    if (encoded.operation_type != OperationType::View) return OperationNotHandled{};
    return std::visit(Navigator{view, current_workspace, target}, *op);
}

}  // namespace chat
