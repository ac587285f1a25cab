// Captures written by other people's tools, for the import tests:
//   TESSIVO_NPM=DIR node write-captures.mjs COMMAND ...
//   warcio RECORDS.json OUT.warc[.gz]   records as the JSON file lists them, framed,
//                                    digested (and gzipped) by warcio
//   chromium PAGE_URL OUT_PREFIX     the page and everything it fetches, loaded
//                                    by chromium and saved from its DevTools
//                                    events by node-warc (OUT.warc) and
//                                    chrome-har (OUT.har)
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";

// The packages scripts/setup installed, in the folder named by TESSIVO_NPM.
const require = createRequire(path.join(process.env.TESSIVO_NPM || "/opt/tessivo-npm", "index.js"));
const { WARCRecord, WARCSerializer } = require("warcio");

async function warcio(listPath, out) {
  const list = JSON.parse(fs.readFileSync(listPath, "utf8"));
  const gzip = out.endsWith(".gz");
  const file = fs.createWriteStream(out);
  for (const r of list.records) {
    const body = Buffer.from(r.body || "", "base64");
    const record = WARCRecord.create({
      url: r.url, type: r.type, date: r.date, warcVersion: list.version || "WARC/1.1",
      statusline: r.statusline, httpHeaders: r.headers, warcHeaders: r.warcHeaders,
      refersToUrl: r.refersToUrl, refersToDate: r.refersToDate, keepHeadersCase: true,
    }, [body]);
    const digest = r.sha256 ? {} : { algo: "sha-1", prefix: "sha1:", base32: true };
    file.write(await WARCSerializer.serialize(record, { gzip, digest }));
  }
  await new Promise((resolve) => file.end(resolve));
}

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function chromium(pageUrl, prefix) {
  const CDP = require("chrome-remote-interface");
  const { RemoteChromeCapturer, RemoteChromeWARCWriter } = require("node-warc");
  const { harFromMessages } = require("chrome-har");
  const port = await freePort();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "chromium-profile-"));
  const browser = spawn("chromium", ["--headless=new", "--no-sandbox", "--disable-gpu",
    "--no-first-run", "--disable-background-networking", `--user-data-dir=${profile}`,
    `--remote-debugging-port=${port}`, "about:blank"], { stdio: "ignore", detached: true });
  try {
    let client;
    for (let k = 0; !client; ++k) {
      try {
        client = await CDP({ port });
      } catch (e) {
        if (k > 100) throw e;
        await new Promise((r) => setTimeout(r, 200));
      }
    }
    const { Network, Page, Runtime } = client;
    const events = [];
    const responses = new Map();
    const bodies = [];
    for (const method of ["Network.requestWillBeSent", "Network.responseReceived", "Network.dataReceived",
      "Network.loadingFinished", "Network.loadingFailed", "Network.requestServedFromCache",
      "Page.loadEventFired", "Page.domContentEventFired", "Page.frameStartedLoading",
      "Page.frameAttached", "Page.frameNavigated", "Page.frameStoppedLoading"]) {
      client.on(method, (params) => {
        events.push({ method, params });
        if (method === "Network.responseReceived") responses.set(params.requestId, params.response);
        if (method === "Network.loadingFinished" && responses.has(params.requestId)) {
          bodies.push(Network.getResponseBody({ requestId: params.requestId }).then((b) => {
            const response = responses.get(params.requestId);
            response.body = b.body;
            if (b.base64Encoded) response.encoding = "base64";
          }, () => {}));
        }
      });
    }
    const capturer = new RemoteChromeCapturer(Network);
    await Network.enable();
    await Page.enable();
    capturer.startCapturing();
    await Page.navigate({ url: pageUrl });
    // The page sets its title to "done" once every fetch has finished.
    for (let k = 0; ; ++k) {
      const { result } = await Runtime.evaluate({ expression: "document.title" });
      if (result.value === "done") break;
      if (k > 300) throw new Error("the page did not finish: " + result.value);
      await new Promise((r) => setTimeout(r, 100));
    }
    await new Promise((r) => setTimeout(r, 300));
    await Promise.all(bodies);
    capturer.stopCapturing();
    const writer = new RemoteChromeWARCWriter();
    await writer.generateWARC(capturer, Network, { warcOpts: { warcPath: prefix + ".warc" } });
    const har = harFromMessages(events, { includeTextFromResponseBody: true });
    fs.writeFileSync(prefix + ".har", JSON.stringify(har, null, 1));
    await client.close();
  } finally {
    // The whole process group: helper processes still write the profile's
    // cache after the browser process itself has gone.
    const exited = browser.exitCode !== null || browser.signalCode !== null
      ? Promise.resolve() : new Promise((r) => browser.once("exit", r));
    try { process.kill(-browser.pid, "SIGKILL"); } catch (e) { browser.kill("SIGKILL"); }
    await exited;
    fs.rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
  }
}

const [command, ...args] = process.argv.slice(2);
if (command === "warcio") await warcio(...args);
else if (command === "chromium") await chromium(...args);
else throw new Error("usage: write-captures.mjs warcio RECORDS OUT | chromium PAGE_URL OUT_PREFIX");
