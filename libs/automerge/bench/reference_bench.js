#!/usr/bin/env node
// Our engine against the reference on the same files, run by run in fresh processes:
//
//   node reference_bench.js DATA_DIR --ours PATH_TO/automerge_measure [--rounds N]
//                           [--only NAME,...] [--regen]
//
// The workloads are generated with the reference from fixed seeds and written to DATA_DIR as
// NAME.am (a saved document) and NAME.changes (all its change chunks); existing files are
// reused unless --regen. Every measurement (load, save, apply of one workload) runs each
// engine in a fresh process, the two engines alternating which goes first, for N rounds
// (default 5). Each process times a cold first run, warms up once more, then takes the median
// of at least five runs of wall time and of process CPU time (the latter says more on a busy
// machine); the table shows the medians over the rounds. Memory compares resident
// set with resident set: the growth of the process's peak RSS during the cold load, and the
// RSS growth while the loaded document is held. Ratios are ours/reference: below 1 means we
// are faster or smaller.
"use strict";

const fs = require("fs");
const path = require("path");
const { execFileSync } = require("child_process");

const oracleDir = path.resolve(__dirname, "../../../tests/oracle");
const A = require(require.resolve("@automerge/automerge", { paths: [oracleDir] }));
const { Rng } = require(path.join(oracleDir, "workload.js"));

const ACTOR = "0123456789abcdef0123456789abcdef";

function textEdits() {
  const rng = new Rng(1);
  const doc = A.getBackend(A.init({ actor: ACTOR }));
  const text = doc.putObject("_root", "text", "");
  let len = 0;
  for (let i = 0; i < 100000; i++) {
    if (len > 0 && rng.chance(0.2)) {
      doc.splice(text, rng.int(len), 1);
      len--;
    } else {
      doc.splice(text, rng.int(len + 1), 0, String.fromCharCode(97 + rng.int(26)));
      len++;
    }
    if (i % 100 === 99) doc.commit(null, i);
  }
  doc.commit(null, 100000);
  return doc;
}

function mapPuts() {
  const doc = A.getBackend(A.init({ actor: ACTOR }));
  for (let i = 0; i < 20000; i++) {
    doc.put("_root", `key${i % 5000}`, i, "int");
    if (i % 100 === 99) doc.commit(null, i);
  }
  doc.commit(null, 20000);
  return doc;
}

function chat() {
  const doc = A.getBackend(A.init({ actor: ACTOR }));
  const messages = doc.putObject("_root", "messages", []);
  for (let i = 0; i < 10000; i++) {
    const m = doc.insertObject(messages, i, {});
    doc.put(m, "author", `user${i % 7}`, "str");
    doc.put(m, "time", 1700000000000 + i * 1000, "timestamp");
    const body = doc.putObject(m, "body", "");
    doc.splice(body, 0, 0, `message number ${i}: see you at the standup`);
    doc.commit(null, i);
  }
  return doc;
}

// A synthetic editing session standing in for a recorded one: 260,000 single-character
// edits in bursts of typing or backspacing at a cursor that mostly moves a little and
// sometimes jumps, 30 % of the bursts deleting. One change per 100 edits.
function editingTrace() {
  const rng = new Rng(260);
  const doc = A.getBackend(A.init({ actor: ACTOR }));
  const text = doc.putObject("_root", "text", "");
  const letters = "abcdefghijklmnopqrstuvwxyz      ";
  let len = 0;
  let pos = 0;
  let edits = 0;
  while (edits < 260000) {
    if (rng.chance(0.85)) pos = Math.max(0, Math.min(len, pos + rng.range(-40, 40)));
    else pos = rng.int(len + 1);
    const deleting = len > 0 && rng.chance(0.3);
    const burst = rng.range(1, 30);
    for (let k = 0; k < burst && edits < 260000; k++) {
      if (deleting) {
        if (len === 0) break;
        if (pos > 0) pos--;  // backspace; at the start, delete forward
        doc.splice(text, pos, 1);
        len--;
      } else {
        doc.splice(text, pos, 0, letters[rng.int(letters.length)]);
        pos++;
        len++;
      }
      edits++;
      if (edits % 100 === 0) doc.commit(null, edits);
    }
  }
  doc.commit(null, edits);
  return doc;
}

const WORKLOADS = { text100k: textEdits, map20k: mapPuts, chat10k: chat, trace260k: editingTrace };
const METRICS = ["load", "save", "apply"];

function writeWorkloads(dir, names, regen) {
  fs.mkdirSync(dir, { recursive: true });
  for (const name of names) {
    const am = path.join(dir, `${name}.am`);
    const ch = path.join(dir, `${name}.changes`);
    if (!regen && fs.existsSync(am) && fs.existsSync(ch)) continue;
    const doc = WORKLOADS[name]();
    fs.writeFileSync(am, doc.save());
    const changes = doc.getChanges([]).map((c) => Buffer.from(c));
    fs.writeFileSync(ch, Buffer.concat(changes));
  }
}

// ---------------------------------------------------------------------------------------
// the reference's side of one measurement, in a fresh process

function statusBytes(field) {
  const line = fs
    .readFileSync("/proc/self/status", "utf8")
    .split("\n")
    .find((l) => l.startsWith(field));
  return Number(line.split(/\s+/)[1]) * 1024;
}

function msSince(t0) {
  return Number(process.hrtime.bigint() - t0) / 1e6;
}

// Returns the cold first run's wall time, and after one more warm-up run the medians of wall
// and process CPU time (all threads) over at least five runs.
function timeRuns(run) {
  let t0 = process.hrtime.bigint();
  run();
  const first = msSince(t0);
  run();
  const samples = [];
  const cpu = [];
  const start = process.hrtime.bigint();
  while (samples.length < 5 || (samples.length < 50 && msSince(start) < 1000)) {
    t0 = process.hrtime.bigint();
    const c = process.cpuUsage();
    run();
    samples.push(msSince(t0));
    const d = process.cpuUsage(c);
    cpu.push((d.user + d.system) / 1000);
  }
  samples.sort((a, b) => a - b);
  cpu.sort((a, b) => a - b);
  return [first, samples[Math.floor(samples.length / 2)], cpu[Math.floor(cpu.length / 2)]];
}

// The engine's own load, without building JavaScript objects for the document: loading
// into an empty document is a full load in the reference.
function referenceLoad(bytes) {
  const doc = A.getBackend(A.init());
  doc.loadIncremental(bytes);
  return doc;
}

function child(what, file) {
  const bytes = new Uint8Array(fs.readFileSync(file));
  A.getBackend(A.init()).free();  // instantiates the engine before anything is measured
  global.gc && global.gc();
  let out;
  if (what === "load") {
    fs.writeFileSync("/proc/self/clear_refs", "5");
    const before = statusBytes("VmRSS:");
    const t0 = process.hrtime.bigint();
    const doc = referenceLoad(bytes);
    const first = msSince(t0);
    const peak = statusBytes("VmHWM:") - before;
    const resident = statusBytes("VmRSS:") - before;
    const [, median, cpu] = timeRuns(() => referenceLoad(bytes).free());
    doc.free();
    out = { first_ms: first, median_ms: median, cpu_ms: cpu, peak_rss: peak, resident };
  } else if (what === "save") {
    const doc = referenceLoad(bytes);
    const [first, median, cpu] = timeRuns(() => doc.save());
    out = { first_ms: first, median_ms: median, cpu_ms: cpu };
  } else if (what === "apply") {
    const [first, median, cpu] = timeRuns(() => {
      const doc = A.getBackend(A.init());
      doc.loadIncremental(bytes);
      doc.free();
    });
    out = { first_ms: first, median_ms: median, cpu_ms: cpu };
  } else {
    throw new Error(`unknown measurement ${what}`);
  }
  process.stdout.write(JSON.stringify(out) + "\n");
}

// ---------------------------------------------------------------------------------------
// the driver

function runReference(what, file) {
  const out = execFileSync(process.execPath, ["--expose-gc", __filename, "--child", what, file], {
    encoding: "utf8",
    maxBuffer: 1 << 20,
  });
  return JSON.parse(out);
}

function runOurs(binary, what, file) {
  return JSON.parse(execFileSync(binary, [what, file], { encoding: "utf8", maxBuffer: 1 << 20 }));
}

function median(values) {
  const v = values.filter((x) => x !== undefined).sort((a, b) => a - b);
  return v.length ? v[Math.floor(v.length / 2)] : undefined;
}

function main() {
  const args = process.argv.slice(2);
  if (args[0] === "--child") return child(args[1], args[2]);
  const dir = args[0];
  const oursAt = args.indexOf("--ours");
  if (!dir || oursAt < 0) {
    console.error("usage: reference_bench.js DATA_DIR --ours PATH_TO/automerge_measure " +
                  "[--rounds N] [--only NAME,...] [--regen]");
    process.exit(2);
  }
  const binary = args[oursAt + 1];
  const roundsAt = args.indexOf("--rounds");
  const rounds = roundsAt >= 0 ? Number(args[roundsAt + 1]) : 5;
  const onlyAt = args.indexOf("--only");
  const names = onlyAt >= 0 ? args[onlyAt + 1].split(",") : Object.keys(WORKLOADS);
  writeWorkloads(dir, names, args.includes("--regen"));

  console.log(["case", "ours", "reference", "ours/ref"].join("\t"));
  const ms = (v) => (v === undefined ? "-" : `${v.toFixed(2)} ms`);
  const mib = (v) => (v === undefined ? "-" : `${(v / 1048576).toFixed(1)} MiB`);
  const row = (label, o, r, fmt) =>
    console.log([label, fmt(o), fmt(r), o === undefined || !r ? "-" : (o / r).toFixed(2)].join("\t"));
  for (const name of names) {
    for (const what of METRICS) {
      const file = path.join(dir, `${name}.${what === "apply" ? "changes" : "am"}`);
      const ours = [];
      const ref = [];
      for (let r = 0; r < rounds; r++) {
        if (r % 2 === 0) {
          ours.push(runOurs(binary, what, file));
          ref.push(runReference(what, file));
        } else {
          ref.push(runReference(what, file));
          ours.push(runOurs(binary, what, file));
        }
      }
      const pick = (list, key) => median(list.map((x) => x[key]));
      row(`${name}/${what}`, pick(ours, "median_ms"), pick(ref, "median_ms"), ms);
      row(`${name}/${what}_cpu`, pick(ours, "cpu_ms"), pick(ref, "cpu_ms"), ms);
      if (what === "load") {
        row(`${name}/load_cold`, pick(ours, "first_ms"), pick(ref, "first_ms"), ms);
        row(`${name}/peak_rss`, pick(ours, "peak_rss"), pick(ref, "peak_rss"), mib);
        row(`${name}/resident`, pick(ours, "resident"), pick(ref, "resident"), mib);
      }
    }
  }
}

main();
