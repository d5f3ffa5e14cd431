// An automerge-repo sync server for the sharing tests: WebSocket on 127.0.0.1, documents kept
// in a folder. Prints "listening PORT" once it accepts connections.
import { Repo } from "@automerge/automerge-repo"
import { WebSocketServerAdapter } from "@automerge/automerge-repo-network-websocket"
import { NodeFSStorageAdapter } from "@automerge/automerge-repo-storage-nodefs"
import { WebSocketServer } from "ws"

const dir = process.argv[2]
const wss = new WebSocketServer({ host: "127.0.0.1", port: 0 })
wss.on("listening", () => {
  console.log(`listening ${wss.address().port}`)
})
new Repo({
  network: [new WebSocketServerAdapter(wss)],
  storage: new NodeFSStorageAdapter(dir),
  peerId: "test-sync-server",
  // A server keeps what clients send and answers requests; it announces nothing itself.
  sharePolicy: async () => false,
})
process.on("SIGTERM", () => process.exit(0))
