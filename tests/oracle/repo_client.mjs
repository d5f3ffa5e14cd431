// A plain automerge-repo client: opens a chat document by its URL through a sync server,
// prints the texts of a channel's messages as JSON, and with a text given appends a message
// the way the chat writes one.
import { Repo } from "@automerge/automerge-repo"
import { WebSocketClientAdapter } from "@automerge/automerge-repo-network-websocket"

const [server, url, channel, text] = process.argv.slice(2)
const repo = new Repo({ network: [new WebSocketClientAdapter(server)] })
const handle = await repo.find(url)
const doc = handle.doc()
const texts = (doc.messages?.[channel] ?? []).map(m => String(m.text))
console.log(JSON.stringify({ texts }))
if (text) {
  handle.change(d => {
    d.messages[channel].push({
      id: "m_node" + Date.now(),
      author: "u_node",
      ts: Math.floor(Date.now() / 1000),
      parent: "",
      edited: false,
      text,
      reactions: [],
      mentions: [],
      history: [],
    })
  })
}
// Give the change time to reach the server before leaving.
await new Promise(r => setTimeout(r, 1500))
await repo.shutdown()
process.exit(0)
