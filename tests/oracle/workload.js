// Seeded random editing sessions on the reference engine. A session is recorded as a list
// of steps (the "script") that the C++ side replays on our engine; positions in text count
// Unicode scalar values there, so they are converted to UTF-16 code units here.
"use strict";

const A = require("@automerge/automerge");

function mulberry32(seed) {
  let a = seed >>> 0;
  return function next() {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

class Rng {
  constructor(seed) {
    this.next = mulberry32(seed);
  }
  int(n) {
    return Math.floor(this.next() * n);
  }
  range(lo, hi) {
    return lo + this.int(hi - lo + 1);
  }
  pick(items) {
    return items[this.int(items.length)];
  }
  chance(p) {
    return this.next() < p;
  }
  hex(bytes) {
    let out = "";
    for (let i = 0; i < bytes; i++) out += this.int(256).toString(16).padStart(2, "0");
    return out;
  }
}

// Pieces that stress text indexing: multi-unit UTF-8, astral code points, skin-tone
// modifiers, ZWJ sequences and combining marks.
const TEXT_PIECES = [
  "a", "b", "c", " ", "hello", "x", "\n", "é", "ü", "e\u0301", "漢字", "👍", "👍🏽",
  "👩‍👩‍👧", "🇳🇱", "ñ", "Ω", "\u200b",
];
const KEYS = ["a", "b", "c", "d", "name", "title", "x", "ключ", "🔑"];

const codePoints = (s) => Array.from(s);

function utf16Offset(text, cpIndex) {
  return codePoints(text).slice(0, cpIndex).join("").length;
}

function randomText(rng, pieces) {
  let out = "";
  for (let i = 0; i < pieces; i++) out += rng.pick(TEXT_PIECES);
  return out;
}

function randomScalar(rng) {
  switch (rng.int(9)) {
    case 0:
      return ["str", randomText(rng, rng.range(0, 3))];
    case 1:
      return ["int", rng.range(-1e9, 1e9) * (rng.chance(0.3) ? 1000 : 1)];
    case 2:
      return ["uint", rng.range(0, 1e9) * (rng.chance(0.3) ? 1000 : 1)];
    case 3:
      return ["f64", rng.chance(0.2) ? rng.range(-5, 5) : (rng.next() - 0.5) * 1e6];
    case 4:
      return ["boolean", rng.chance(0.5)];
    case 5:
      return ["null", null];
    case 6:
      return ["timestamp", rng.range(0, 2e12)];
    case 7:
      return ["counter", rng.range(-100, 100)];
    default:
      return ["bytes", rng.hex(rng.range(0, 8))];
  }
}

function toReferenceValue(v) {
  const [tag, x] = v;
  if (tag === "bytes") return new Uint8Array(Buffer.from(x, "hex"));
  return x;
}

function objectValue(type) {
  return type === "map" ? {} : type === "list" ? [] : "";
}

// Applies steps to an array of reference documents (indexes name the actors' copies).
function applySteps(docs, steps) {
  for (const s of steps) {
    const d = docs[s.doc];
    switch (s.do) {
      case "create":
        docs[s.doc] = A.getBackend(A.init({ actor: s.actor }));
        break;
      case "fork":
        docs[s.doc] = docs[s.src].fork(s.actor);
        break;
      case "merge":
        d.merge(docs[s.src]);
        break;
      case "commit":
        d.commit(s.msg === undefined ? null : s.msg, s.time);
        break;
      case "put":
        d.put(s.obj, s.prop, toReferenceValue(s.v), s.v[0]);
        break;
      case "put_object":
        s.id = d.putObject(s.obj, s.prop, objectValue(s.type));
        break;
      case "insert":
        d.insert(s.obj, s.index, toReferenceValue(s.v), s.v[0]);
        break;
      case "insert_object":
        s.id = d.insertObject(s.obj, s.index, objectValue(s.type));
        break;
      case "delete":
        d.delete(s.obj, s.prop);
        break;
      case "increment":
        d.increment(s.obj, s.prop, s.by);
        break;
      case "splice": {
        const text = d.text(s.obj);
        const from = utf16Offset(text, s.pos);
        const to = utf16Offset(text, s.pos + s.del);
        d.splice(s.obj, from, to - from, s.text);
        break;
      }
      default:
        throw new Error(`unknown step ${s.do}`);
    }
  }
}

function collectObjects(doc, id, type, depth, out) {
  out.push({ id, type, depth });
  if (type === "text") return;
  const props = type === "map" ? doc.keys(id) : [...Array(doc.length(id)).keys()];
  for (const p of props) {
    const v = doc.getWithType(id, p);
    if (v && ["map", "list", "text"].includes(v[0])) collectObjects(doc, v[1], v[0], depth + 1, out);
  }
}

function randomOp(rng, doc, docIndex, opts) {
  const objects = [];
  collectObjects(doc, "_root", "map", 0, objects);
  const target = rng.pick(objects);
  const base = { doc: docIndex, obj: target.id };
  const canNest = target.depth < 4;
  const newType = () => rng.pick(["map", "list", "text"]);
  if (target.type === "map") {
    const keys = doc.keys(target.id);
    const key = keys.length > 0 && rng.chance(0.5) ? rng.pick(keys) : rng.pick(KEYS);
    const current = doc.getWithType(target.id, key);
    const roll = rng.next();
    if (current && current[0] === "counter" && roll < 0.4)
      return { ...base, do: "increment", prop: key, by: rng.range(-50, 50) };
    if (current && roll < 0.55) return { ...base, do: "delete", prop: key };
    if (canNest && roll < 0.7) return { ...base, do: "put_object", prop: key, type: newType() };
    return { ...base, do: "put", prop: key, v: randomScalar(rng) };
  }
  if (target.type === "list") {
    const n = doc.length(target.id);
    const roll = rng.next();
    if (n > 0 && roll < 0.2) return { ...base, do: "delete", prop: rng.int(n) };
    if (n > 0 && roll < 0.35) {
      const index = rng.int(n);
      const current = doc.getWithType(target.id, index);
      if (current && current[0] === "counter")
        return { ...base, do: "increment", prop: index, by: rng.range(-50, 50) };
      return { ...base, do: "put", prop: index, v: randomScalar(rng) };
    }
    if (canNest && roll < 0.5)
      return { ...base, do: "insert_object", index: rng.int(n + 1), type: newType() };
    return { ...base, do: "insert", index: rng.int(n + 1), v: randomScalar(rng) };
  }
  const len = codePoints(doc.text(target.id)).length;
  const pos = rng.int(len + 1);
  const del = rng.chance(0.4) ? Math.min(len - pos, rng.range(1, 4)) : 0;
  const long = opts.long_text && rng.chance(0.05);
  const text = long ? randomText(rng, rng.range(300, 900)) : randomText(rng, rng.range(0, 4));
  return { ...base, do: "splice", pos, del, text };
}

// A session of three actors: one creates the skeleton, the others fork it, all edit
// concurrently for some rounds with partial merges, and finally every actor merges the
// others in a different order so all three must converge.
function generate(req) {
  const rng = new Rng(req.seed >>> 0);
  const actorCount = req.actors || 3;
  const rounds = req.rounds === undefined ? 4 : req.rounds;
  const opsPerRound = req.ops === undefined ? 12 : req.ops;
  const opts = { long_text: !!req.long_text };
  const actors = [];
  for (let i = 0; i < actorCount; i++) actors.push(rng.hex(16));
  const docs = [];
  const script = [];
  const run = (step) => {
    applySteps(docs, [step]);
    script.push(step);
  };
  let time = 1700000000 + rng.int(1000);
  run({ do: "create", doc: 0, actor: actors[0] });
  run({ do: "put_object", doc: 0, obj: "_root", prop: "doc", type: "map" });
  run({ do: "put_object", doc: 0, obj: "_root", prop: "items", type: "list" });
  run({ do: "put_object", doc: 0, obj: "_root", prop: "body", type: "text" });
  run({ do: "put", doc: 0, obj: "_root", prop: "count", v: ["counter", 0] });
  run({ do: "commit", doc: 0, time: time++, msg: "skeleton" });
  for (let i = 1; i < actorCount; i++) run({ do: "fork", doc: i, src: 0, actor: actors[i] });
  for (let r = 0; r < rounds; r++) {
    for (let i = 0; i < actorCount; i++) {
      const n = rng.range(1, opsPerRound);
      for (let k = 0; k < n; k++) run(randomOp(rng, docs[i], i, opts));
      const step = { do: "commit", doc: i, time: time++ };
      if (rng.chance(0.3)) step.msg = `round ${r} by ${i} ✓`;
      run(step);
    }
    const merges = rng.int(actorCount);
    for (let m = 0; m < merges; m++) {
      const dst = rng.int(actorCount);
      const src = (dst + 1 + rng.int(actorCount - 1)) % actorCount;
      run({ do: "merge", doc: dst, src });
    }
  }
  for (let i = 0; i < actorCount; i++) {
    for (let k = 1; k < actorCount; k++) {
      const src = (i + (i % 2 === 0 ? k : actorCount - k)) % actorCount;
      run({ do: "merge", doc: i, src });
    }
  }
  // Merging the first actor again pulls in what it learned after the others merged it.
  for (let i = 1; i < actorCount; i++) run({ do: "merge", doc: i, src: 0 });
  return { script, docs };
}

function replay(script) {
  const docs = [];
  applySteps(docs, script);
  return docs;
}

module.exports = { generate, replay, applySteps, Rng, randomText };
