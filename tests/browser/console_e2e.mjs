// The web console in a real browser: Debian's Chromium, headless, driven by
// Playwright, against a host on the simulated Mac with a phone of 300 photos,
// a camera and a memory card. A person's steps: see the devices, scroll the
// phone's photos, import ten, cancel a large video, import from the camera
// and the card, eject the card, and see the camera locked. Each step leaves a screenshot.
//   node console_e2e.mjs BIN-FOLDER SCREENSHOT-FOLDER
import { chromium } from "playwright-core";
import { spawn, spawnSync } from "node:child_process";
import { createInterface } from "node:readline";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import assert from "node:assert/strict";

const [bin, shots] = process.argv.slice(2).map((p) => path.resolve(p));
const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), "../..");
const work = fs.mkdtempSync(path.join(os.tmpdir(), "lumivane-browser-"));
const imports = path.join(work, "imports");
const socket = path.join(work, "host.sock");
fs.mkdirSync(shots, { recursive: true });

// A simulated Mac's control; its answer as JSON.
const ctl = (method, args = {}) => {
  const run = spawnSync(path.join(bin, "lumivanectl"), ["call", "sim/control", method, JSON.stringify(args)],
                        { env: { ...process.env, LUMIVANE_SOCKET: socket }, encoding: "utf8" });
  assert.equal(run.status, 0, `${method}: ${run.stderr}`);
  return JSON.parse(run.stdout || "null");
};
// Every file under `folder`, by name.
const filesUnder = (folder) => Object.fromEntries(fs.readdirSync(folder, { recursive: true, withFileTypes: true })
  .filter((entry) => entry.isFile()).map((entry) => [entry.name, path.join(entry.parentPath ?? entry.path, entry.name)]));
const sameBytes = (a, b) => fs.readFileSync(a).equals(fs.readFileSync(b));

// The console and its host, as `./lumivane console` starts them.
const consoleScript = spawn(path.join(root, "scripts/console.sh"), [bin], {
  env: { ...process.env, LUMIVANE_CONSOLE_WORK: work, LUMIVANE_CONSOLE_PHOTOS: "300" },
  stdio: ["ignore", "pipe", "inherit"], detached: true,
});
const url = await new Promise((resolve, reject) => {
  const lines = createInterface({ input: consoleScript.stdout });
  lines.on("line", (line) => { if (line.startsWith("Open ")) resolve(line.slice(5)); });
  consoleScript.on("exit", (code) => reject(new Error(`console.sh ended with ${code}`)));
});

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
});
let failed = false;
const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
try {
  page.setDefaultTimeout(60_000);
  const shot = (name) => page.screenshot({ path: path.join(shots, `${name}.png`) });
  const row = (list, name) => page.locator(`#${list} li`).filter({ hasText: name });
  const item = (name) => page.locator("#grid .item").filter({ hasText: name });

  // Devices, from the host.
  await page.goto(url);
  await row("phones", "Ada's iPhone").waitFor();
  await row("cameras", "Canon EOS R6").getByText("ready · 9 items").waitFor();
  await row("volumes", "EOS_DIGITAL").waitFor();
  assert.equal(new URL(page.url()).search, "", "the token leaves the address bar");
  ctl("peer.add", { name: "Grace's Mac", port: 7000, addresses: ["192.168.1.31"] });
  await row("peers", "Grace's Mac").getByText("192.168.1.31:7000").waitFor();

  // The destination, chosen with the host's folder chooser.
  await page.getByRole("button", { name: "Choose…" }).click();
  await page.locator("#free").getByText(/free$/).waitFor();
  assert.equal(await page.locator("#destination").inputValue(), fs.realpathSync(imports));
  await shot("1-devices");

  // The phone's first scan, slowed so its stages show: a stage and a bar.
  ctl("phone.set", { udid: "00008110-ADA", latencyMs: 40 });
  await row("phones", "Ada's iPhone").getByRole("button").first().click();
  await page.locator("#scan-stage").getByText("Reading sizes and dates").waitFor();
  await page.waitForFunction(() => $("scan-progress").hasAttribute("value") && $("scan-progress").max > 1);
  await shot("2-scanning");
  ctl("phone.set", { udid: "00008110-ADA", latencyMs: 0 });

  // The phone's photos: newest first, thumbnails as they scroll into view.
  await page.locator("#grid .item").nth(302).waitFor();
  assert.equal(await page.locator("#grid .item").count(), 303);
  assert.match(await page.locator("#grid .item .name").first().textContent(), /IMG_0303\.HEIC/);
  const loaded = () => page.locator("#grid img").evaluateAll((images) => images.filter((i) => i.complete && i.naturalWidth > 0).length);
  await page.waitForFunction(() => [...document.querySelectorAll("#grid img")].some((i) => i.complete && i.naturalWidth > 0));
  assert.ok((await loaded()) < 200, "thumbnails wait until they come near the view");
  const last = item("IMG_0001.JPG");
  await last.scrollIntoViewIfNeeded();
  await page.waitForFunction(() => {
    const img = [...document.querySelectorAll("#grid .item")].pop().querySelector("img");
    return img && img.complete && img.naturalWidth > 0;
  });
  await shot("3-scrolled");

  // Folder by folder, and back by the path.
  await page.getByRole("radio", { name: "Folders" }).check();
  await item("101APPLE").click();
  await item("IMG_0201.JPG").waitFor();
  assert.equal(await page.locator("#grid .item").count(), 103);
  await page.locator("#path").getByRole("button", { name: "Ada's iPhone" }).click();
  await item("100APPLE").waitFor();
  await page.getByRole("radio", { name: "All photos, newest first" }).check();
  await page.locator("#grid .item").nth(302).waitFor();

  // Ten photos, by click and shift-click, with a bar each and one for all.
  await page.locator("#grid").scrollIntoViewIfNeeded();
  await item("IMG_0300.JPG").click();
  await item("IMG_0291.JPG").click({ modifiers: ["Shift"] });
  await page.getByRole("button", { name: "Import 10" }).click();
  await page.locator("#overall-text").getByText("10 imported").waitFor();
  assert.equal(await page.locator("#imports progress").count(), 10);
  assert.equal(await page.locator("#overall").evaluate((bar) => bar.value), 1);
  const phoneFiles = filesUnder(path.join(work, "phone/DCIM"));
  for (let n = 291; n <= 300; n++) {
    const name = `IMG_0${n}.JPG`;
    assert.ok(sameBytes(path.join(imports, name), phoneFiles[name]), `${name} arrived whole`);
  }
  assert.equal(await page.locator("#grid .badge").count(), 10);
  await shot("4-imported");
  await page.getByRole("button", { name: "Show in folder" }).click();
  for (let i = 0; i < 50 && !ctl("revealed").length; i++) await new Promise((r) => setTimeout(r, 100));
  assert.match(ctl("revealed").at(-1), /imports\/IMG_0(29\d|300)\.JPG$/);

  // The keyboard: arrows move between photos, Space selects, Shift+Space a range.
  await item("IMG_0289.JPG").focus();
  await page.keyboard.press("Space");
  await page.keyboard.press("ArrowRight");
  await page.keyboard.press("ArrowRight");
  await page.keyboard.press("Shift+Space");
  await page.getByRole("button", { name: "Import 3" }).waitFor();
  await page.getByRole("button", { name: "Select none" }).click();

  // Imported ones are skipped unless asked.
  await item("IMG_0300.JPG").click();
  await page.getByRole("button", { name: "Import 1" }).click();
  assert.equal(await page.locator("#imports li").count(), 10);

  // Two large videos, one cancelled on its own half-way, the other by
  // "Cancel all": nothing of either stays.
  ctl("phone.set", { udid: "00008110-ADA", latencyMs: 150 });
  await item("IMG_0302.MOV").click();
  await item("IMG_0301.MOV").click();
  await page.getByRole("button", { name: "Import 2" }).click();
  const video = row("imports", "IMG_0302.MOV"), other = row("imports", "IMG_0301.MOV");
  await video.getByText(/MB of/).waitFor();
  await video.getByRole("button", { name: "Cancel IMG_0302.MOV" }).click();
  await video.getByText("Cancelled").waitFor();
  await other.getByText(/MB of/).waitFor();
  await page.getByRole("button", { name: "Cancel all" }).click();
  await page.locator("#overall-text").getByText("10 imported, 2 cancelled").waitFor();
  ctl("phone.set", { udid: "00008110-ADA", latencyMs: 0 });
  assert.deepEqual(fs.readdirSync(imports).filter((name) => !/^IMG_0(29[1-9]|300)\.JPG$/.test(name)), []);
  await shot("5-cancelled");

  // The camera: select all, import.
  await row("cameras", "Canon EOS R6").getByRole("button").first().click();
  await page.locator("#grid .item").nth(8).waitFor();
  await page.getByRole("button", { name: "Select all" }).click();
  await page.getByRole("button", { name: "Import 9" }).click();
  await page.locator("#overall-text").getByText("19 imported").waitFor();
  const cameraFiles = filesUnder(path.join(work, "camera"));
  for (const [name, source] of Object.entries(cameraFiles)) assert.ok(sameBytes(path.join(imports, name), source), name);

  // The card: its photos, copied by the console.
  await row("volumes", "EOS_DIGITAL").getByRole("button").first().click();
  await page.locator("#grid .item").nth(5).waitFor();
  await page.getByRole("button", { name: "Select all" }).click();
  await page.getByRole("button", { name: "Import 6" }).click();
  await page.locator("#overall-text").getByText("25 imported").waitFor();
  for (const [name, source] of Object.entries(filesUnder(path.join(work, "card")))) assert.ok(sameBytes(path.join(imports, name), source), name);

  // The card, ejected, goes from the page.
  await page.getByRole("button", { name: "Eject EOS_DIGITAL" }).click();
  await row("volumes", "EOS_DIGITAL").waitFor({ state: "detached" });

  // The camera, locked while open: the page says so in the host's words.
  await row("cameras", "Canon EOS R6").getByRole("button").first().click();
  await page.locator("#grid .item").nth(8).waitFor();
  ctl("camera.lock", { id: "EOS-R6-0001" });
  await row("cameras", "Canon EOS R6").getByText("locked").waitFor();
  await page.getByRole("alert").getByText("Unlock Canon EOS R6 to see its files.").waitFor();
  assert.equal(await page.locator("#selection").isVisible(), false, "nothing to select on a locked camera");
  await shot("6-locked");

  // A phone-sized window: nothing wider than the screen.
  await page.setViewportSize({ width: 390, height: 844 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 390), "fits a phone-sized window");
  await shot("7-phone-sized");
  console.log(`console_e2e: every step passed; screenshots in ${shots}`);
} catch (error) {
  failed = true;
  console.error(error);
  await page.screenshot({ path: path.join(shots, "failed.png") }).catch(() => {});
} finally {
  await browser.close();
  process.kill(-consoleScript.pid, "SIGTERM");
  await new Promise((resolve) => consoleScript.exitCode !== null ? resolve() : consoleScript.on("exit", resolve));
  fs.rmSync(work, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
