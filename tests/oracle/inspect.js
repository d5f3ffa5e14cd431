// Turns a reference document into plain JSON that the C++ tests can compare with what our
// engine reads: every value carries its type, and a conflicted property lists every
// conflicting value by operation id next to the winner.
"use strict";

const A = require("@automerge/automerge");

const hex = (bytes) => Buffer.from(bytes).toString("hex");

function scalar(tag, value) {
  switch (tag) {
    case "uint":
    case "int":
    case "counter":
      return [tag, typeof value === "bigint" ? Number(value) : value];
    case "timestamp":
      return [tag, value instanceof Date ? value.getTime() : value];
    case "bytes":
      return [tag, hex(value)];
    case "null":
      return [tag, null];
    default:
      return [tag, value];
  }
}

function value(doc, full) {
  const [tag, v] = full;
  switch (tag) {
    case "map":
    case "table": {
      const out = {};
      for (const key of doc.keys(v)) out[key] = property(doc, v, key);
      return { map: out };
    }
    case "list": {
      const out = [];
      const n = doc.length(v);
      for (let i = 0; i < n; i++) out.push(property(doc, v, i));
      return { list: out };
    }
    case "text":
      return { text: doc.text(v) };
    default:
      return scalar(tag, v);
  }
}

function property(doc, obj, prop) {
  const all = doc.getAll(obj, prop);
  if (all.length === 1) return value(doc, all[0]);
  const conflict = {};
  for (const entry of all) {
    const isObject = ["map", "list", "text", "table"].includes(entry[0]);
    const id = isObject ? entry[1] : entry[2];
    conflict[id] = value(doc, entry);
  }
  return { conflict, win: value(doc, doc.getWithType(obj, prop)) };
}

function typedContent(doc) {
  return value(doc, ["map", "_root"]);
}

function changeSummaries(doc) {
  return doc.getChanges([]).map((bytes) => {
    const c = A.decodeChange(bytes);
    return {
      hash: c.hash,
      actor: c.actor,
      seq: c.seq,
      start_op: c.startOp,
      time: c.time,
      message: c.message === undefined ? null : c.message,
      deps: [...c.deps].sort(),
      num_ops: c.ops.length,
    };
  });
}

function sortedHeads(doc) {
  return [...doc.getHeads()].sort();
}

module.exports = { typedContent, changeSummaries, sortedHeads };
