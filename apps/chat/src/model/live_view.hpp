#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "model/view_model.hpp"

namespace chat::model {

// What one refresh changed, for those who keep something derived from the view model.
struct ViewChange {
    bool everything = true;  // read from scratch: assume anything changed
    bool lists = false;      // workspaces, categories, channels or the directory were read again
    std::set<std::string, std::less<>> channels;  // channels whose messages were read again

    // Adds what a later refresh changed, for one who skipped refreshes in between.
    void add(ViewChange const& later) {
        everything |= later.everything;
        lists |= later.lists;
        channels.insert(later.channels.begin(), later.channels.end());
    }
};

// Keeps one view model current with one document. The first refresh, and the first with
// another document or with heads this document does not know, reads everything; later
// ones read only what the changes since the previous refresh wrote, and equal a full
// rebuild. Local writes, changes from peers and merges all take that path. The view keeps
// object handles of the document instance it read; any other instance, also one assigned
// over that one at the same address, is read from scratch.
class LiveView {
  public:
    struct Touched;  // what a run of changes wrote

    LiveView();
    ~LiveView();
    LiveView(LiveView&&) noexcept;
    LiveView& operator=(LiveView&&) noexcept;

    // Brings the model up to date and repairs `nav`. Never fails.
    ViewModel const& refresh(AutoCommit& doc, Navigation& nav);
    // Forgets what was read: the next refresh reads everything.
    void reset();

    ViewModel const& view() const { return m_vm; }
    ViewModel take() && { return std::move(m_vm); }
    ViewChange const& last_change() const { return m_change; }

  private:
    struct Run;
    void rebuild(AutoCommit& doc, Navigation& nav);
    void update(AutoCommit& doc, Navigation& nav, Touched const& touched);
    void lay_out_runs(AutoCommit& doc, Touched const& touched, bool reread_all);
    void reread_run(AutoCommit& doc, size_t index, std::set<size_t> const& dirty,
                    std::set<size_t> const& inserted, bool whole);
    bool insert_messages(AutoCommit& doc, size_t index, automerge::ObjHandle list,
                         std::set<size_t> const& inserted);
    void finish(AutoCommit& doc, Navigation& nav);

    ViewModel m_vm;
    std::vector<Run> m_runs;  // one per channel, in the order of m_vm.channels
    uint64_t m_instance = 0;  // the document instance read, 0 for none
    std::vector<automerge::ChangeHash> m_heads;
    std::string m_open;  // the channel m_vm.messages was copied from
    ViewChange m_change;
};

}  // namespace chat::model
