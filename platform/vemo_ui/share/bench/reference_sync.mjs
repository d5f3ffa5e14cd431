// The reference engine syncing the same shape of document between two Docs in one process.
// Run from anywhere: node reference_sync.mjs [COUNT]; the engine comes from tests/oracle.
import { createRequire } from "node:module"
import { fileURLToPath } from "node:url"
import path from "node:path"

const oracle = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../../../tests/oracle")
const A = createRequire(path.join(oracle, "package.json"))("@automerge/automerge")

const count = Number(process.argv[2] ?? 10000)
let doc = A.from({ messages: { c: [] } })
for (let start = 0; start < count; start += 100) {
  doc = A.change(doc, d => {
    for (let i = start; i < Math.min(start + 100, count); i++)
      d.messages.c.push({ id: "m_" + i, author: "u_a", ts: 1700000000 + i,
                          text: "message number " + i + " with a little text in it" })
  })
}
const t0 = performance.now()
let other = A.init()
let s1 = A.initSyncState(), s2 = A.initSyncState()
for (;;) {
  let m1, m2
  ;[s1, m1] = A.generateSyncMessage(doc, s1)
  if (m1) [other, s2] = A.receiveSyncMessage(other, s2, m1)
  ;[s2, m2] = A.generateSyncMessage(other, s2)
  if (m2) [doc, s1] = A.receiveSyncMessage(doc, s1, m2)
  if (!m1 && !m2) break
}
console.log(`reference first sync of ${count} messages: ${((performance.now() - t0) / 1000).toFixed(3)} s ` +
            `(${other.messages.c.length} arrived)`)
