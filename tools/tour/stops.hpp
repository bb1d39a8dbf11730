// The stops of the tour, one file per topic, in the order the tour visits them.
#pragma once

namespace tour {

void stop_parent_child();
void stop_script_launch();
void stop_endless_chat();
void stop_leader_leaves();
void stop_workers_quit();
void stop_leader_awaits();
void stop_record_pass();
void stop_tally_racy();
void stop_tally_locked();
void stop_stock_gate();
void stop_memo_opener();

}  // namespace tour
