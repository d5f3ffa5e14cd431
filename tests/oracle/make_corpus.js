// Writes reference-made documents, change chunks and sync messages as fuzzing seeds.
"use strict";
const fs = require("fs");
const path = require("path");
const A = require("@automerge/automerge");
const workload = require("./workload.js");

const out = process.argv[2];
const write = (name, bytes) => fs.writeFileSync(path.join(out, name), Buffer.from(bytes));

const small = workload.generate({ seed: 21, rounds: 2, ops: 6 });
write("doc_small.bin", small.docs[0].save());
const long = workload.generate({ seed: 22, rounds: 2, ops: 10, long_text: true });
write("doc_compressed.bin", long.docs[0].save());
const prose = A.getBackend(A.init({ actor: "0a0b0c0d" }));
const body = prose.putObject("_root", "body", "");
prose.splice(body, 0, 0, workload.randomText(new workload.Rng(5), 1500));
prose.commit("long text", 1);
write("doc_long_text.bin", prose.save());
const changes = small.docs[0].getChanges([]);
write("changes.bin", Buffer.concat(changes.map((c) => Buffer.from(c))));

let left = A.load(small.docs[1].save());
let right = A.init();
let ls = A.initSyncState();
let rs = A.initSyncState();
for (let i = 0; i < 6; i++) {
  let msg;
  [ls, msg] = A.generateSyncMessage(left, ls);
  if (msg) {
    write(`sync_${i}_a.bin`, msg);
    [right, rs] = A.receiveSyncMessage(right, rs, msg);
  }
  [rs, msg] = A.generateSyncMessage(right, rs);
  if (msg) {
    write(`sync_${i}_b.bin`, msg);
    [left, ls] = A.receiveSyncMessage(left, ls, msg);
  }
}
write("sync_state.bin", A.encodeSyncState(ls));
