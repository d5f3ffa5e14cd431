#!/usr/bin/env node
// Line-oriented JSON service around the reference Automerge engine, driven by the C++
// compatibility tests and benchmarks. Each request is one JSON object on a line of stdin,
// each answer one JSON object on a line of stdout: {"ok": ...} or {"error": "..."}.
//
// Binary payloads (documents, changes, sync messages) travel as base64. Text positions in
// requests count Unicode scalar values, as our engine does; the npm build counts UTF-16
// code units, so every text position is converted here before it reaches the reference.
"use strict";

const A = require("@automerge/automerge");
const readline = require("readline");
const workload = require("./workload.js");
const { typedContent, changeSummaries, sortedHeads } = require("./inspect.js");

const b64 = (bytes) => Buffer.from(bytes).toString("base64");
const unb64 = (text) => new Uint8Array(Buffer.from(text, "base64"));

function freshBackend(actor) {
  return A.getBackend(A.init(actor ? { actor } : undefined));
}

function loadBackend(bytes, actor) {
  return A.getBackend(A.load(bytes, actor ? { actor } : undefined));
}

function describe(doc, withSave) {
  const out = {
    heads: sortedHeads(doc),
    changes: changeSummaries(doc),
    content: typedContent(doc),
  };
  if (withSave) out.save = b64(doc.save());
  return out;
}

// Sync peers live for the life of the process, keyed by a name the caller picks.
const peers = new Map();

function peer(id) {
  const p = peers.get(id);
  if (!p) throw new Error(`no peer named ${id}`);
  return p;
}

const handlers = {
  // Runs a seeded random workload and returns the edit script plus every actor's result.
  workload(req) {
    const result = workload.generate(req);
    return {
      script: result.script,
      docs: result.docs.map((doc) => describe(doc, true)),
      all_changes: result.docs[0].getChanges([]).map(b64),
    };
  },
  // Replays an edit script (from our side) on the reference.
  run(req) {
    const docs = workload.replay(req.script);
    return { docs: docs.map((doc) => describe(doc, true)) };
  },
  inspect(req) {
    const doc = loadBackend(unb64(req.doc));
    return describe(doc, true);
  },
  apply_changes(req) {
    const doc = freshBackend();
    doc.applyChanges(req.changes.map(unb64));
    return describe(doc, true);
  },
  decode_sync_message(req) {
    const msg = A.decodeSyncMessage(unb64(req.msg));
    return {
      heads: msg.heads,
      need: msg.need,
      have: msg.have.map((h) => ({ last_sync: h.lastSync, bloom: b64(h.bloom) })),
      changes: msg.changes.map(b64),
    };
  },
  encode_sync_state(req) {
    const state = A.decodeSyncState(unb64(req.state));
    return { shared_heads: state.sharedHeads, state: b64(A.encodeSyncState(state)) };
  },
  // Peers go through the public sync functions of the reference, exactly as an application
  // built on it would.
  peer_new(req) {
    const opts = req.actor ? { actor: req.actor } : undefined;
    const doc = req.doc ? A.load(unb64(req.doc), opts) : A.init(opts);
    const state = req.state ? A.decodeSyncState(unb64(req.state)) : A.initSyncState();
    peers.set(req.id, { doc, state });
    return {};
  },
  peer_generate(req) {
    const p = peer(req.id);
    const [state, msg] = A.generateSyncMessage(p.doc, p.state);
    p.state = state;
    return { msg: msg ? b64(msg) : null };
  },
  peer_receive(req) {
    const p = peer(req.id);
    const [doc, state] = A.receiveSyncMessage(p.doc, p.state, unb64(req.msg));
    p.doc = doc;
    p.state = state;
    return {};
  },
  // Edits run on a same-actor copy of the peer's backend; the resulting changes are then
  // applied to the peer's document.
  peer_edit(req) {
    const p = peer(req.id);
    const before = A.getHeads(p.doc);
    const scratch = A.getBackend(A.clone(p.doc, { actor: A.getActorId(p.doc) }));
    workload.applySteps([scratch], req.steps);
    const [doc] = A.applyChanges(p.doc, scratch.getChanges(before));
    p.doc = doc;
    return {};
  },
  peer_describe(req) {
    const p = peer(req.id);
    return Object.assign(describe(A.getBackend(p.doc), !!req.save), {
      state: b64(A.encodeSyncState(p.state)),
    });
  },
  peer_drop(req) {
    peers.delete(req.id);
    return {};
  },
};

function handle(line) {
  let req;
  try {
    req = JSON.parse(line);
  } catch (e) {
    return { error: `bad request: ${e.message}` };
  }
  const fn = handlers[req.cmd];
  if (!fn) return { error: `unknown command ${req.cmd}` };
  try {
    return { ok: fn(req) };
  } catch (e) {
    return { error: String(e && e.message ? e.message : e) };
  }
}

const rl = readline.createInterface({ input: process.stdin, crlfDelay: Infinity });
rl.on("line", (line) => {
  if (line.trim() === "") return;
  process.stdout.write(JSON.stringify(handle(line)) + "\n");
});
