// The reference engine's first sync between two Docs in one process: one holds the document,
// the other starts empty, and they exchange sync messages until both are quiet.
//   node reference_sync.mjs FILE     the saved document in FILE (the share benchmark passes
//                                     the document it synced itself)
//   node reference_sync.mjs [COUNT]  a plain list of COUNT messages, one change per 100
// Run from anywhere; the engine comes from tests/oracle.
import { createRequire } from "node:module"
import { fileURLToPath } from "node:url"
import fs from "node:fs"
import path from "node:path"

const oracle = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../../../tests/oracle")
const A = createRequire(path.join(oracle, "package.json"))("@automerge/automerge")

function plainList(count) {
  let doc = A.from({ messages: { c: [] } })
  for (let start = 0; start < count; start += 100) {
    doc = A.change(doc, d => {
      for (let i = start; i < Math.min(start + 100, count); i++)
        d.messages.c.push({ id: "m_" + i, author: "u_a", ts: 1700000000 + i,
                            text: "message number " + i + " with a little text in it" })
    })
  }
  return doc
}

const arg = process.argv[2]
const fromFile = arg !== undefined && fs.existsSync(arg)
const doc0 = fromFile ? A.load(new Uint8Array(fs.readFileSync(arg))) : plainList(Number(arg ?? 10000))
const what = fromFile ? `${path.basename(arg)} (${A.getAllChanges(doc0).length} changes)`
                      : `${doc0.messages.c.length} messages`

const t0 = performance.now()
let doc = doc0
let other = A.init()
let s1 = A.initSyncState(), s2 = A.initSyncState()
let messages = 0, bytes = 0
for (;;) {
  let m1, m2
  ;[s1, m1] = A.generateSyncMessage(doc, s1)
  if (m1) { [other, s2] = A.receiveSyncMessage(other, s2, m1); messages++; bytes += m1.length }
  ;[s2, m2] = A.generateSyncMessage(other, s2)
  if (m2) { [doc, s1] = A.receiveSyncMessage(doc, s1, m2); messages++; bytes += m2.length }
  if (!m1 && !m2) break
}
const seconds = (performance.now() - t0) / 1000
const same = JSON.stringify(A.getHeads(doc)) === JSON.stringify(A.getHeads(other))
console.log(`reference first sync of ${what}: ${seconds.toFixed(3)} s, ${messages} messages, ` +
            `${bytes} bytes${same ? "" : " (HEADS DIFFER)"}`)
