// The web console in a real browser: Debian's Chromium, headless, driven by
// Playwright, against a host on the simulated Mac with a phone of 20,000
// photos, a camera and a memory card. A photographer's week: the devices, the
// remembered folder, the phone's first screen and a scroll to its end, the
// keyboard in the grid, filters and a preview, an import of 200 photos into
// date folders, the same again (all skipped, and why), culling in a full-screen
// preview and an import of the picks, videos whose cable is
// pulled and that go on by themselves, a camera locked and unlocked, a phone
// that becomes trusted, the eject warning, delete-after on the card, a
// keyboard eject, the card imported and ejected by itself once it has a rule,
// and a phone-sized window. axe-core checks every state it
// visits; each leaves a screenshot. It is about behaviour: the times it sees
// (the phone's first screen, its final order, the longest task while
// scrolling) are figures, not checks; with LUMIVANE_BROWSER_FIGURES=FILE it
// writes them there as JSON, beside the same browser's first screen of the
// same thumbnails from files on disk, for the console's benchmark.
//   node console_e2e.mjs BIN-FOLDER SCREENSHOT-FOLDER
import { chromium } from "playwright-core";
import { spawn, spawnSync } from "node:child_process";
import { createInterface } from "node:readline";
import { createRequire } from "node:module";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import assert from "node:assert/strict";

const [bin, shots] = process.argv.slice(2).map((p) => path.resolve(p));
const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), "../..");
const axeSource = fs.readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");
const work = fs.mkdtempSync(path.join(os.tmpdir(), "lumivane-browser-"));
const imports = path.join(work, "imports");
const socket = path.join(work, "host.sock");
const PHOTOS = 20_000;
fs.mkdirSync(shots, { recursive: true });

// A simulated Mac's control; its answer as JSON.
const ctl = (method, args = {}) => {
  const run = spawnSync(path.join(bin, "lumivanectl"), ["call", "sim/control", method, JSON.stringify(args)],
                        { env: { ...process.env, LUMIVANE_SOCKET: socket }, encoding: "utf8" });
  assert.equal(run.status, 0, `${method}: ${run.stderr}`);
  return JSON.parse(run.stdout || "null");
};
// Every file under `folder`, by path below it.
const filesUnder = (folder) => fs.existsSync(folder) ? fs.readdirSync(folder, { recursive: true, withFileTypes: true })
  .filter((entry) => entry.isFile()).map((entry) => path.relative(folder, path.join(entry.parentPath ?? entry.path, entry.name))) : [];
const sameBytes = (a, b) => fs.readFileSync(a).equals(fs.readFileSync(b));

// The console and its host, as `./lumivane console` starts them.
const consoleScript = spawn(path.join(root, "scripts/console.sh"), [bin], {
  env: { ...process.env, LUMIVANE_CONSOLE_WORK: work, LUMIVANE_CONSOLE_PHOTOS: String(PHOTOS),
         LUMIVANE_CONSOLE_DISTINCT: "200", LUMIVANE_CONSOLE_PORT: "0" },
  stdio: ["ignore", "pipe", "inherit"], detached: true,
});
const url = await new Promise((resolve, reject) => {
  const lines = createInterface({ input: consoleScript.stdout });
  lines.on("line", (line) => { if (line.startsWith("Open ")) resolve(line.slice(5)); });
  consoleScript.on("exit", (code) => reject(new Error(`console.sh ended with ${code}`)));
});

// One of the phone's videos made a real one, as a phone on Linux shows it:
// no rendering of its own, its index after more media than the host reads
// for a frame (and the file as long as before, the rest of it a hole).
{
  const videos = filesUnder(path.join(work, "phone/DCIM")).filter((name) => name.endsWith(".MOV")).sort();
  const video = path.join(work, "phone/DCIM", videos[0]), size = fs.statSync(video).size;
  const made = spawnSync("ffmpeg", ["-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=s=320x240:r=2:d=30", "-f", "lavfi", "-i",
    "anoisesrc=r=48000:d=30", "-ac", "2", "-c:v", "mjpeg", "-c:a", "pcm_s32le", "-f", "mov", video]);
  assert.equal(made.status, 0, String(made.stderr));
  assert.ok(fs.statSync(video).size > 8 << 20 && fs.statSync(video).size < size);
  fs.truncateSync(video, size);
  fs.rmSync(path.join(work, "phone/PhotoData/Thumbnails/V2/DCIM", videos[0]), { recursive: true });
}

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
});
let failed = false;
const page = await browser.newPage({ viewport: { width: 1280, height: 800 }, locale: "en-US" });
// Every host method the page calls, counted, so a step can tell what the page asked for.
await page.addInitScript(() => {
  window.asked = {};
  const fetch = window.fetch;
  window.fetch = (resource, init) => {
    const method = init && typeof init.body === "string" && JSON.parse(init.body).method;
    if (method) window.asked[method] = (window.asked[method] || 0) + 1;
    return fetch(resource, init);
  };
});
const figures = {};
try {
  page.setDefaultTimeout(60_000);
  const shot = (name) => page.screenshot({ path: path.join(shots, `${name}.png`) });
  // No serious or critical finding of axe-core in the state the page is in.
  const audits = [];
  // Each state is checked in the system's light and dark appearance alike.
  const audit = async (state) => {
    if (!(await page.evaluate(() => typeof window.axe === "object"))) await page.addScriptTag({ content: axeSource });
    for (const colorScheme of ["light", "dark"]) {
      await page.emulateMedia({ colorScheme });
      const background = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
      assert.equal(background, colorScheme === "dark" ? "rgb(20, 24, 28)" : "rgb(244, 245, 246)", `the page follows the ${colorScheme} appearance`);
      const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ["violations"] }));
      const bad = result.violations.filter((v) => v.impact === "serious" || v.impact === "critical");
      assert.deepEqual(bad.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(" ")).slice(0, 3).join(", ")}`), [], `axe in "${state}", ${colorScheme}`);
    }
    await page.emulateMedia({ colorScheme: "light" });
    audits.push(state);
  };
  const row = (list, name) => page.locator(`#${list} li`).filter({ hasText: name });
  const cell = (name) => page.locator("#grid .cell").filter({ hasText: name });
  const job = (text) => page.locator("#jobs > li").filter({ hasText: text }).first();
  const selected = () => page.locator("#selected").textContent();

  // Devices, from the host; the address bar loses the token.
  await page.goto(url);
  await row("phones", "Ada's iPhone").waitFor();
  await row("cameras", "Canon EOS R6").getByText("ready · 9 items").waitFor();
  await row("cameras", "EOS_DIGITAL").waitFor();
  assert.equal(new URL(page.url()).search, "", "the token leaves the address bar");
  ctl("peer.add", { name: "Grace's Mac", port: 7000, addresses: ["192.168.1.31"] });
  await row("peers", "Grace's Mac").getByText("192.168.1.31:7000").waitFor();
  await page.locator("#example").getByText("Choose a folder to import to.").waitFor();
  assert.equal(await page.locator("#destination").getAttribute("placeholder"), null, "an empty field looks empty");
  assert.equal(await row("phones", "Ada's iPhone").getByRole("button").first().getAttribute("aria-current"), "false");
  // A card is listed where photos come from, with the cameras, and not again among the other volumes.
  assert.equal(await row("volumes", "EOS_DIGITAL").count(), 0);
  await audit("devices");
  await shot("1-devices");

  // A folder typed as a person would, relative or from "~", not made yet: made only once agreed to.
  const home = path.join(work, "home");
  const typeFolder = async (typed, answer) => {
    const question = new Promise((resolve) => page.once("dialog", (dialog) => {
      resolve(dialog.message());
      answer ? dialog.accept() : dialog.dismiss();
    }));
    await page.locator("#destination").fill(typed);
    await page.getByRole("button", { name: "Use" }).first().click();
    return question;
  };
  assert.equal(await typeFolder("Pictures/Shoots", false), `${home}/Pictures/Shoots does not exist. Make it?`);
  await page.locator("#free").getByText(`${home}/Pictures/Shoots does not exist.`).waitFor();
  assert.equal(fs.existsSync(path.join(home, "Pictures")), false, "declined: nothing made");
  assert.equal(await typeFolder("~/Pictures/Shoots", true), `${home}/Pictures/Shoots does not exist. Make it?`);
  await page.locator("#free").getByText(/free$/).waitFor();
  assert.equal(await page.locator("#destination").inputValue(), `${home}/Pictures/Shoots`);
  assert.ok(fs.statSync(path.join(home, "Pictures/Shoots")).isDirectory());
  await audit("a folder made");

  // The destination, chosen with the host's folder chooser, and still there after a reload.
  await page.getByRole("button", { name: "Choose…" }).click();
  await page.locator("#free").getByText(/free$/).waitFor();
  await page.reload();
  await page.waitForFunction((folder) => document.getElementById("destination").value === folder, fs.realpathSync(imports));

  // The phone of 20,000: the first screen of thumbnails, timed from the click.
  // The days on screen are watched from the start: they may change once, when every date is in.
  await page.evaluate(() => {
    window.screens = [];
    const watch = () => {
      const days = [...document.querySelectorAll("#grid .day")].sort((a, b) => a.offsetTop - b.offsetTop).map((d) => d.textContent).join(" / ");
      if (days && window.screens[window.screens.length - 1] !== days) window.screens.push(days);
      if (!window.stopWatching) requestAnimationFrame(watch);
    };
    requestAnimationFrame(watch);
  });
  const began = Date.now();
  await row("phones", "Ada's iPhone").getByRole("button").first().click();
  await page.waitForFunction(() => {
    const grid = document.getElementById("grid"), box = grid.getBoundingClientRect();
    const inView = [...grid.querySelectorAll(".cell")].filter((c) => { const r = c.getBoundingClientRect(); return r.top < box.bottom && r.bottom > box.top; });
    return inView.length >= 8 && inView.every((c) => { const img = c.querySelector("img"); return !img || (img.complete && img.naturalWidth > 0); });
  }, null, { polling: 25 });
  figures.firstScreenMs = Date.now() - began;
  assert.equal(await page.locator("#selected").textContent(), "20,003 items · nothing selected");
  assert.ok(await page.locator("#grid .cell").count() < 200, "only what is in view is in the page");
  assert.equal(await row("phones", "Ada's iPhone").getByRole("button").first().getAttribute("aria-current"), "true");
  await audit("phone open");

  // Every date of the phone, read by the host in the background: 2,000 photos say they were
  // taken in May 2019, long after their files' time. The grid is sorted by them once, with them
  // first, and the day filter offers each of their days with all its photos.
  await page.waitForFunction(() => document.getElementById("dates-state").textContent === "" &&
    [...document.getElementById("day").options].some((option) => option.textContent.includes("2019")), null, { timeout: 600_000 });
  figures.finalOrderMs = Date.now() - began;
  await page.evaluate(() => { window.stopWatching = true; });
  const screens = await page.evaluate(() => window.screens);
  assert.ok(screens.length <= 2, `the days on screen changed ${screens.length - 1} times: ${screens.join("; ")}`);
  const may = (await page.locator("#day option").allTextContents()).filter((day) => day.includes("2019"));
  assert.equal(may.length, 20, may.join("; "));
  for (const day of may) assert.match(day, /\(100\)$/, day);
  // Picked before a single one of them was scrolled to: the day holds all its photos.
  const day = await page.locator("#day option").filter({ hasText: "May 21, 2019" }).getAttribute("value");
  await page.getByLabel("Taken").selectOption(day);
  assert.match(await selected(), /^100 items/);
  assert.match(await page.locator('#grid .cell[data-position="0"] .meta').textContent(), /taken May 21, 2019/);
  await page.getByLabel("Taken").selectOption("");
  await audit("every date in");
  await shot("2-phone");
  await page.emulateMedia({ colorScheme: "dark" });
  await shot("2-phone-dark");
  await page.emulateMedia({ colorScheme: "light" });

  // Scrolled to the end: no task on the page's main thread over 200 ms.
  await page.evaluate(() => {
    window.longest = 0;
    new PerformanceObserver((list) => { for (const e of list.getEntries()) window.longest = Math.max(window.longest, e.duration); })
      .observe({ type: "longtask" });
  });
  const scrolled = await page.evaluate(async () => {
    const grid = document.getElementById("grid");
    const frame = () => new Promise((resolve) => requestAnimationFrame(resolve));
    let steps = 0;
    while (grid.scrollTop + grid.clientHeight < grid.scrollHeight - 2 && steps < 5000) {
      grid.scrollTop += grid.clientHeight * 3;
      await frame();
      steps++;
    }
    await frame();
    return steps;
  });
  await page.locator(`#grid .cell[data-position="${PHOTOS + 2}"]`).waitFor();
  figures.longestTaskMs = await page.evaluate(() => window.longest);
  figures.screensScrolled = scrolled;
  await shot("3-scrolled-to-the-end");

  // One Tab stop for the grid; the keys inside it.
  await page.locator("#grid").focus();
  await page.keyboard.press("Home");
  const activeName = () => page.evaluate(() => document.getElementById(document.getElementById("grid").getAttribute("aria-activedescendant"))?.querySelector(".name").textContent);
  const first = await activeName();
  await page.keyboard.press("ArrowRight");
  assert.notEqual(await activeName(), first);
  await page.keyboard.press("PageDown");
  await page.keyboard.press("End");
  assert.equal(await activeName(), await page.locator(`#grid .cell[data-position="${PHOTOS + 2}"] .name`).textContent());
  await page.keyboard.press("Tab");
  assert.equal(await page.evaluate(() => document.activeElement.closest("#grid")), null, "Tab leaves the grid at once");
  await page.locator("#grid").focus();
  await page.keyboard.press("Control+A");
  assert.match(await selected(), /^20,003 of 20,003 selected/);
  assert.ok(!(await page.evaluate(() => getSelection().toString())).includes("IMG_"), "Ctrl+A selects photos, not the page's text");
  await page.keyboard.press("Escape");
  assert.match(await selected(), /nothing selected/);
  // The preview of a photo the phone keeps a 256-pixel rendering of (every
  // other one): rendered from the photo itself, at its own 640 pixels.
  // The photos of that day in May 2019 are every tenth one.
  await page.getByLabel("Taken").selectOption(day);
  await page.locator("#grid").focus();
  await page.keyboard.press("Home");
  assert.match(await activeName(), /0\.JPG$/);
  await page.keyboard.press("Space");
  await page.locator("#preview[open]").waitFor();
  await page.waitForFunction(() => document.getElementById("preview-image").complete && document.getElementById("preview-image").naturalWidth > 0);
  assert.equal(await page.evaluate(() => document.getElementById("preview-image").naturalWidth), 640, "the photo itself, not the phone's rendering");
  await audit("preview");
  await shot("4-preview");
  await page.keyboard.press("Space");
  await page.locator("#preview[open]").waitFor({ state: "detached" });
  assert.equal(await page.evaluate(() => document.activeElement.id), "grid", "focus returns to the grid");
  await page.getByLabel("Taken").selectOption("");

  // Filters: the two videos, each with its frame (the phone's rendering, or the host's from the video itself).
  await page.getByLabel("Show").selectOption("video");
  assert.match(await selected(), /^2 items/);
  await page.waitForFunction(() => [...document.querySelectorAll("#grid .cell img")].filter((i) => i.complete && i.naturalWidth > 0).length === 2);
  await page.getByLabel("Show").selectOption("raw");
  assert.match(await selected(), /^0 items/);
  await page.getByLabel("Show").selectOption("all");

  // 200 photos into date folders with date-and-time names: the example shows where.
  await page.getByLabel("Folders").selectOption("{YYYY}/{YYYY}-{MM}-{DD}");
  await page.getByLabel("File names").selectOption("{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}");
  await page.getByLabel("Show").selectOption("photo");
  await page.locator("#grid").focus();
  await page.keyboard.press("Home");
  await page.keyboard.press("Enter");
  for (let i = 1; i < 200; i++) await page.keyboard.press("Shift+ArrowRight");
  assert.match(await selected(), /^200 of /);
  const example = await page.locator("#example").textContent();
  assert.match(example, new RegExp(`^${fs.realpathSync(imports)}/\\d{4}/\\d{4}-\\d\\d-\\d\\d/\\d{8}_\\d{6}_IMG_\\d+\\.(JPG|HEIC)$`), example);
  await shot("5-selected");
  const importedBefore = filesUnder(imports).length;
  const freeAsked = await page.evaluate(() => window.asked["file.freeSpace"] || 0);
  // Followed from another tab: the tab's title says how far it is, and a
  // notification (the page allows them here) says when it ended.
  await page.evaluate(() => {
    window.titles = [];
    new MutationObserver(() => window.titles.push(document.title)).observe(document.querySelector("title"), { childList: true });
    window.notified = [];
    window.Notification = class {
      static permission = "granted";
      static requestPermission() { return Promise.resolve("granted"); }
      constructor(title, options) { window.notified.push(`${title}: ${options.body}`); }
    };
    document.hasFocus = () => false;
  });
  await page.getByRole("button", { name: "Import 200" }).click();
  await job("200 imported, 0 skipped (already imported), 0 failed.").waitFor({ timeout: 120_000 });
  await page.locator("#live").getByText(/finished: 200 imported/).waitFor();
  const followed = await page.evaluate(() => { delete document.hasFocus; return { titles: window.titles, notified: window.notified, title: document.title }; });
  assert.ok(followed.titles.some((title) => /^\d+% · Importing from Ada's iPhone — Lumivane console$/.test(title)), followed.titles.join("; "));
  assert.equal(followed.title, "Lumivane console", "the title is the page's own again");
  assert.deepEqual(followed.notified, ["Import from Ada's iPhone finished: 200 imported, 0 skipped, 0 failed."]);
  // Focus went with the job (the Import button it was on is disabled), and the room left is asked again.
  assert.equal(await page.evaluate(() => document.activeElement.closest("#jobs > li") !== null), true, "focus is on the job");
  await page.waitForFunction((before) => (window.asked["file.freeSpace"] || 0) > before, freeAsked);
  const copies = filesUnder(imports);
  assert.equal(copies.length - importedBefore, 200);
  const phoneRoot = path.join(work, "phone/DCIM");
  for (const copy of copies.slice(0, 20)) {
    assert.match(copy, /^\d{4}\/\d{4}-\d\d-\d\d\/\d{8}_\d{6}_IMG_\d+\.JPG$/);
    const name = copy.split("/").pop().split("_").slice(2).join("_"), number = parseInt(name.slice(4), 10);
    const folder = `${100 + Math.floor((number - 1) / 200)}APPLE`;
    assert.ok(sameBytes(path.join(imports, copy), path.join(phoneRoot, folder, name)), `${copy} arrived whole`);
  }
  // Imported before: dimmed, said in their details, and passed by by "Select new".
  await page.locator("#grid .cell.imported").first().waitFor();
  assert.match(await page.locator("#grid .cell.imported .meta").first().textContent(), / · imported$/);
  await page.getByRole("button", { name: "Select new" }).click();
  assert.match(await selected(), /^19,801 of 20,001 selected/);
  await audit("imported");
  await shot("6-imported");
  await page.getByRole("button", { name: "Select none" }).click();

  // The same 200 again: nothing copied, and the page says why.
  await page.locator("#grid").focus();
  await page.keyboard.press("Home");
  await page.keyboard.press("Enter");
  for (let i = 1; i < 200; i++) await page.keyboard.press("Shift+ArrowRight");
  // With its log beside the copies: a line for each, and why it was skipped.
  await page.getByLabel("Write a log of the import beside the copies").check();
  await page.getByRole("button", { name: "Import 200" }).click();
  const again = job("0 imported, 200 skipped (already imported), 0 failed.");
  await again.waitFor();
  const logName = filesUnder(imports).find((name) => /^Import log [\d-]+ [\d.]+\.txt$/.test(name));
  assert.ok(logName, filesUnder(imports).filter((name) => !name.includes("/")).join(", "));
  await page.locator("#notice").getByText(`The import's log is “${logName}” beside its copies.`).waitFor();
  const logLines = fs.readFileSync(path.join(imports, logName), "utf8").trimEnd().split("\n");
  assert.match(logLines[0], /^Import from Ada's iPhone to .*, started /);
  assert.equal(logLines[1], "Ended: done. 0 imported, 200 skipped, 0 failed.");
  assert.equal(logLines.slice(3).filter((line) => /^skipped\t\d+APPLE\/IMG_\d+\.(JPG|HEIC)\tAlready imported on /.test(line)).length, 200);
  assert.equal(filesUnder(imports).length - importedBefore, 201, "the 200 copies and the log");
  await again.getByRole("button", { name: "Details" }).click();
  await again.locator(".reasons li").first().getByText(/Already imported on/).waitFor();
  // In the order of their names, and a long path wraps after a folder, never inside a date or a name.
  const reasonsShown = await again.locator(".reasons li").allTextContents();
  const names = reasonsShown.map((line) => line.split(":")[0]);
  assert.deepEqual(names, [...names].sort((a, b) => a.localeCompare(b, undefined, { numeric: true })));
  const brokenInside = await again.locator(".reasons").evaluate((list) => {
    const broken = [];
    for (const li of list.querySelectorAll("li")) {
      const walker = document.createTreeWalker(li, NodeFilter.SHOW_TEXT);
      for (let node = walker.nextNode(); node; node = walker.nextNode()) {
        for (const word of node.textContent.matchAll(/\d{4}-\d\d-\d\d|\d{8}_\d{6}_IMG_\d+\.JPG/g)) {
          const range = document.createRange();
          range.setStart(node, word.index);
          range.setEnd(node, word.index + word[0].length);
          if (new Set([...range.getClientRects()].map((r) => Math.round(r.top))).size > 1) broken.push(word[0]);
        }
      }
    }
    return broken;
  });
  assert.deepEqual(brokenInside, [], "dates and names stay whole");
  await audit("skipped, with details");
  await shot("7-skipped");

  // Culling, on the oldest day (none of it imported yet): in the full-screen
  // preview P picks and 4 gives four stars, Z shows the photo's own pixels,
  // the next photo is rejected. The host keeps the flags: a reload shows them.
  const oldest = await page.locator("#day option").last().getAttribute("value");
  const cullDay = async () => {
    await page.getByLabel("Taken").selectOption(oldest);
    await page.locator("#grid").focus();
    await page.keyboard.press("Home");
  };
  await cullDay();
  const pickedName = await activeName();
  await page.keyboard.press("Space");
  await page.locator("#preview[open]").waitFor();
  const shown = () => page.evaluate(() => { const i = document.getElementById("preview-image"); return i.complete && i.naturalWidth > 0 ? [i.clientWidth, i.naturalWidth] : null; });
  await page.waitForFunction(() => { const i = document.getElementById("preview-image"); return i.complete && i.naturalWidth > 0; });
  const [fitted, natural] = await shown();
  assert.ok(fitted > natural, `fitted to the window: ${fitted} px for ${natural}`);
  await page.keyboard.press("p");
  await page.keyboard.press("4");
  await page.locator("#preview-meta").getByText(/ · picked, 4 stars$/).waitFor();
  await page.keyboard.press("z");
  await page.waitForFunction(() => { const i = document.getElementById("preview-image"); return i.complete && i.naturalWidth > 0 && i.clientWidth === i.naturalWidth; });
  assert.equal(await page.locator("#preview-zoom").getAttribute("aria-pressed"), "true");
  await audit("preview at 100%");
  await shot("6b-preview-at-100");
  await page.keyboard.press("ArrowRight");
  const rejectedName = await activeName();
  assert.notEqual(rejectedName, pickedName);
  await page.keyboard.press("x");
  await page.locator("#preview-meta").getByText(/ · rejected$/).waitFor();
  await page.keyboard.press("Space");
  await page.locator("#preview[open]").waitFor({ state: "detached" });
  const dayCount = Number((await selected()).match(/^([\d,]+) items/)[1].replace(/,/g, ""));
  await page.reload();
  await row("phones", "Ada's iPhone").getByRole("button").first().click();
  await page.waitForFunction(() => document.getElementById("title").textContent === "Ada's iPhone" && document.getElementById("scan").hidden &&
    document.getElementById("dates-state").textContent === "" && document.getElementById("day").options.length > 1);
  await cullDay();
  await cell(pickedName).locator(".flags").getByText("⚑ ★★★★").waitFor();
  assert.match(await cell(pickedName).locator(".meta").textContent(), / · picked, 4 stars$/);
  assert.equal(await cell(rejectedName).evaluate((c) => c.classList.contains("rejected")), true);
  await page.getByLabel("Hide rejects").check();
  assert.match(await selected(), new RegExp(`^${dayCount - 1} items`), "the reject is hidden");
  await audit("flags");
  await shot("6c-flags");
  // "Import 1 pick": the copy's new sidecar holds the pick and the stars; the host forgets them.
  await page.getByRole("button", { name: "Import 1 pick" }).click();
  await job("1 imported, 0 skipped (already imported), 0 failed.").waitFor({ timeout: 120_000 });
  const sidecars = filesUnder(imports).filter((name) => name.endsWith(".xmp"));
  assert.equal(sidecars.length, 1, sidecars.join(", "));
  assert.equal(sidecars[0].replace(/\.xmp$/, ""), filesUnder(imports).find((name) => name.endsWith(`_${pickedName}`)).replace(/\.JPG$/, ""));
  const rating = spawnSync("exiftool", ["-s", "-s", "-n", "-XMP:Rating", "-XMP:Pick", path.join(imports, sidecars[0])], { encoding: "utf8" });
  assert.equal(rating.stdout, "Rating: 4\nPick: 1\n");
  await page.waitForFunction((name) => [...document.querySelectorAll("#grid .cell")].some((c) => c.querySelector(".name").textContent === name && c.classList.contains("imported") && c.querySelector(".flags").textContent === ""), pickedName);
  assert.equal(await page.getByRole("button", { name: "Import picks" }).isDisabled(), true);
  await page.getByLabel("Hide rejects").uncheck();
  await page.getByLabel("Taken").selectOption("");

  // The two videos, the cable pulled half-way: the job waits for the phone and goes on by itself.
  await page.getByLabel("Show").selectOption("video");
  ctl("phone.fault", { udid: "00008110-ADA", op: "read", code: 26, nth: 20, detach: true });
  await page.locator("#grid").focus();
  await page.keyboard.press("Control+A");
  await page.getByRole("button", { name: "Import 2" }).click();
  await page.locator("#grid").waitFor({ state: "hidden" });  // the phone went: the grid goes
  const waiting = job("interrupted");
  await waiting.getByText("Goes on when Ada's iPhone is back.").waitFor();
  assert.equal(await waiting.getByRole("button", { name: "Resume" }).isDisabled(), true);
  await audit("interrupted");
  ctl("phone.attach", { udid: "00008110-ADA", link: "usb" });
  await job("2 imported, 0 skipped (already imported), 0 failed.").waitFor({ timeout: 120_000 });
  const videos = filesUnder(imports).filter((name) => name.endsWith(".MOV"));
  assert.equal(videos.length, 2);
  for (const video of videos) assert.ok(sameBytes(path.join(imports, video), path.join(phoneRoot, "200APPLE", video.split("/").pop().split("_").slice(2).join("_"))), video);

  // A camera locked while open, then unlocked: the grid follows the host.
  await row("cameras", "Canon EOS R6").getByRole("button").first().click();
  await cell("IMG_0009.JPG").waitFor();
  ctl("camera.lock", { id: "EOS-R6-0001" });
  await page.getByRole("alert").getByText("Canon EOS R6 is no longer connected.").or(page.getByRole("alert").getByText("Unlock Canon EOS R6 to see its files.")).waitFor();
  await row("cameras", "Canon EOS R6").getByText("locked").waitFor();
  await shot("8-locked");
  ctl("camera.unlock", { id: "EOS-R6-0001" });
  await row("cameras", "Canon EOS R6").getByText("ready · 9 items").waitFor();
  await cell("IMG_0009.JPG").waitFor();  // no click: the open camera's grid comes back by itself

  // Ejecting a camera an import is reading: asked first (and not ejected when declined).
  ctl("camera.set", { id: "EOS-R6-0001", chunkDelayMs: 300 });
  await page.getByRole("button", { name: "Select all" }).click();
  await page.getByRole("button", { name: "Import 9" }).click();
  await job("Canon EOS R6").getByText(/Importing|Starting/).waitFor();
  let asked = "";
  page.once("dialog", (dialog) => { asked = dialog.message(); dialog.dismiss(); });
  await page.getByRole("button", { name: "Eject Canon EOS R6" }).click();
  await page.waitForFunction(() => true);
  assert.match(asked, /An import is reading Canon EOS R6\. Eject it anyway\?/);
  ctl("camera.set", { id: "EOS-R6-0001", chunkDelayMs: 0 });
  await job("9 imported, 0 skipped (already imported), 0 failed.").waitFor({ timeout: 120_000 });

  // A phone that becomes trusted is opened without a reload.
  ctl("phone.add", { udid: "00008030-BEN", name: "Ben's iPhone", root: path.join(work, "camera"), trusted: false });
  ctl("phone.attach", { udid: "00008030-BEN", link: "usb" });
  await row("phones", "00008030-BEN").getByText("USB · not trusted").waitFor();
  assert.equal(await row("phones", "00008030-BEN").getByRole("button").count(), 0, "nothing to open yet");
  ctl("phone.set", { udid: "00008030-BEN", trusted: true });
  await row("phones", "Ben's iPhone").getByText("USB · trusted").waitFor();
  await row("phones", "Ben's iPhone").getByRole("button").first().click();
  await cell("IMG_0009.JPG").waitFor();

  // The camera, all of it again ("only new" off), deleted from it and ejected
  // when done: it is gone, and that is news, not an error.
  // Ben's phone shows the same names: the camera's own listing is awaited.
  await row("cameras", "Canon EOS R6").getByRole("button").first().click();
  await page.waitForFunction(() => document.getElementById("title").textContent === "Canon EOS R6" && document.getElementById("scan").hidden);
  await cell("IMG_0009.JPG").waitFor();
  await page.getByLabel("Only new: skip what was imported before").uncheck();
  await page.getByRole("button", { name: "Select all" }).click();
  // To be ejected when done, but a photo fails to come (gone from the camera
  // since it was listed): the camera stays for a retry.
  fs.rmSync(path.join(work, "camera/DCIM/100CANON/IMG_0009.JPG"));
  await page.getByLabel("Eject it when the import is done").check();
  await page.getByRole("button", { name: "Import 9" }).click();
  await page.locator("#notice").getByText("Canon EOS R6 was not ejected: 1 item failed; it stays connected for a retry.").waitFor({ timeout: 120_000 });
  assert.equal(await row("cameras", "Canon EOS R6").count(), 1, "the camera is still there");
  fs.copyFileSync(path.join(phoneRoot, "100APPLE/IMG_0009.JPG"), path.join(work, "camera/DCIM/100CANON/IMG_0009.JPG"));
  await page.waitForFunction(() => document.getElementById("title").textContent === "Canon EOS R6" && document.getElementById("scan").hidden);
  await page.getByRole("button", { name: "Select all" }).click();
  // A shoot's name in the folders, and the camera's clock an hour and a half
  // behind: the live example shows both, the copies take them, and the host
  // keeps them as this camera's names.
  await page.waitForFunction(() => document.getElementById("dates-state").textContent === "");
  const stamp = async () => (await page.locator("#example").textContent()).match(/(\d{8})_(\d{6})_IMG/).slice(1).join("");
  const asTaken = await stamp();
  await page.getByLabel("Folders").selectOption("{YYYY}/{YYYY}-{MM}-{DD} {job}");
  await page.locator("#example").getByText("Give the shoot's name: the names use {job}.").waitFor();
  await page.getByLabel("Shoot (names {job})").fill("Harbour wedding");
  await page.getByLabel(/^Camera clock off by/).fill("+1:30");
  const shifted = await stamp();
  const ms = (t) => Date.UTC(+t.slice(0, 4), +t.slice(4, 6) - 1, +t.slice(6, 8), +t.slice(8, 10), +t.slice(10, 12), +t.slice(12, 14));
  assert.equal(ms(shifted) - ms(asTaken), 90 * 60_000, `${asTaken} → ${shifted}`);
  const named = (await page.locator("#example").textContent()).slice(fs.realpathSync(imports).length + 1);
  assert.match(named, /^\d{4}\/\d{4}-\d\d-\d\d Harbour wedding\/\d{8}_\d{6}_IMG_\d{4}\.JPG$/);
  await page.getByLabel("Use these names for Canon EOS R6 next time").check();
  await audit("a shoot and a clock shift");
  await page.getByLabel("Delete from the device after import").check();
  await page.getByLabel("Eject it when the import is done").check();
  page.once("dialog", (dialog) => dialog.accept());
  await page.getByRole("button", { name: "Import 9" }).click();
  await page.locator("#notice").getByText("Canon EOS R6 was ejected.").waitFor({ timeout: 120_000 });
  assert.equal(await row("cameras", "Canon EOS R6").count(), 0, "the camera is gone");
  assert.equal(await page.locator("#error").textContent(), "", "its going is no error");
  assert.equal(filesUnder(path.join(work, "camera")).filter((name) => name.endsWith(".JPG")).length, 0, "every photo deleted from it");
  assert.ok(filesUnder(imports).includes(named), `${named} was made`);
  const settingsFile = filesUnder(path.join(work, "home")).find((name) => name.endsWith("import-settings.json"));
  const kept = JSON.parse(fs.readFileSync(path.join(work, "home", settingsFile), "utf8"));
  assert.deepEqual(Object.values(kept.presets), [{ subfolders: "{YYYY}/{YYYY}-{MM}-{DD} {job}", rename: "{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}", clockShift: 90 }]);
  assert.equal(kept.shoots[0], "Harbour wedding");
  await page.getByLabel("Only new: skip what was imported before").check();

  // The card: delete after import, confirmed, leaves it empty.
  // Its RAW+JPEG pair is one tile, which says what comes with it; the count and the question say it too.
  await row("cameras", "EOS_DIGITAL").getByRole("button").first().click();
  await cell("IMG_0015.JPG").waitFor();
  assert.equal(await page.locator("#grid .cell").count(), 6, "six shots: the pair is one tile, the sidecar none");
  const pair = cell("IMG_0010");
  assert.equal(await pair.locator(".kind").textContent(), "RAW+JPEG");
  assert.match(await pair.locator(".meta").textContent(), /with IMG_0010\.JPG, IMG_0010\.XMP$/);
  await page.getByLabel("Show").selectOption("raw");
  assert.equal(await page.locator("#grid .cell").count(), 1, "the pair is a RAW photo too");
  await page.getByLabel("Show").selectOption("all");
  await page.getByRole("button", { name: "Select all" }).click();
  await page.getByLabel("Delete from the device after import").check();
  let confirmed = "";
  page.once("dialog", (dialog) => { confirmed = dialog.message(); dialog.accept(); });
  await page.getByRole("button", { name: "Import 6 (+1 twin, 1 sidecar)" }).click();
  await job("8 imported").waitFor({ timeout: 120_000 });
  assert.match(confirmed, /^Delete 8 files \(6 items, 1 twin, 1 sidecar\) from EOS_DIGITAL once each one is copied and verified\? Items imported before are skipped and stay on EOS_DIGITAL\./);
  await page.waitForFunction(() => document.getElementById("selected").textContent.startsWith("0 items"));
  assert.deepEqual(filesUnder(path.join(work, "card")), []);

  // The card, imported by itself from now on, with the options as they are and ejected when done.
  await page.getByLabel("Eject it when done").check();
  await page.getByRole("button", { name: "Import this card automatically from now on" }).click();
  await page.locator("#notice").getByText("EOS_DIGITAL is imported by itself from now on").waitFor();
  await row("rules", "EOS_DIGITAL").getByText("ejects when done").waitFor();
  await page.getByRole("button", { name: "Import this card automatically with these options" }).waitFor();
  await audit("automatic rule");
  await shot("10-automatic-rule");

  // The card, ejected from the keyboard: said as news, not as an error, and focus stays in the list.
  await page.getByRole("button", { name: "Eject EOS_DIGITAL" }).focus();
  await page.keyboard.press("Enter");
  await page.locator("#notice").getByText("EOS_DIGITAL was ejected.").waitFor();
  assert.equal(await page.locator("#error").textContent(), "");
  assert.equal(await page.evaluate(() => document.activeElement.id), "cameras-title");
  await audit("ejected");

  // Back with two new photos: imported without a click, once, and ejected; the rule stays until stopped.
  const cardFolder = path.join(work, "card/DCIM/100MSDCF");
  for (const name of ["IMG_0016.JPG", "IMG_0017.JPG"]) fs.copyFileSync(path.join(phoneRoot, "100APPLE", name), path.join(cardFolder, name));
  const beforeAutomatic = filesUnder(imports).length;
  ctl("volume.mount", { path: path.join(work, "card"), name: "EOS_DIGITAL", uuid: "3A5C-11F0", removable: true, ejectable: true });
  const automatic = page.locator("#jobs > li").filter({ hasText: "automatic" });
  await automatic.filter({ hasText: "2 imported, 0 skipped (already imported), 0 failed." }).waitFor({ timeout: 120_000 });
  await row("cameras", "EOS_DIGITAL").waitFor({ state: "detached" });
  assert.equal(await automatic.count(), 1, "one job for the card");
  assert.equal(filesUnder(imports).length - beforeAutomatic, 2);
  assert.deepEqual(filesUnder(cardFolder).sort(), ["IMG_0016.JPG", "IMG_0017.JPG"], "nothing deleted: the rule does not delete");
  await audit("imported by itself");
  await shot("11-imported-by-itself");
  await page.getByRole("button", { name: "Stop importing EOS_DIGITAL automatically" }).click();
  await page.locator("#rules").getByText(/^None/).waitFor();

  // A phone-sized window: the first photo on the first screen, nothing wider than it.
  await page.setViewportSize({ width: 390, height: 844 });
  await row("phones", "Ada's iPhone").getByRole("button").first().click();
  await page.waitForFunction(() => document.getElementById("title").textContent === "Ada's iPhone" && document.getElementById("scan").hidden);
  await page.locator("#grid .cell").first().waitFor();
  const top = await page.locator("#grid .cell").first().evaluate((c) => c.getBoundingClientRect().top);
  assert.ok(top < 844 - 100, `the first photo starts at ${top} px`);
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 390), "fits a phone-sized window");
  // An import started here is seen: its row is scrolled into the window and has focus.
  await page.locator("#grid").focus();
  await page.keyboard.press("Home");
  await page.keyboard.press("Enter");
  await page.getByRole("button", { name: "Import 1", exact: true }).click();
  await page.waitForFunction(() => {
    const row = document.activeElement.closest("#jobs > li");
    if (!row) return false;
    const box = row.getBoundingClientRect();
    return box.top >= 0 && box.top < window.innerHeight;
  });
  await audit("phone-sized");
  await shot("9-phone-sized");
  // At 100% a photo wider than the window is dragged to see the rest of it.
  await page.locator("#grid").focus();
  await page.keyboard.press("Space");
  await page.locator("#preview[open]").waitFor();
  await page.keyboard.press("z");
  await page.waitForFunction(() => { const pane = document.getElementById("preview-pane"), i = document.getElementById("preview-image");
    return i.complete && i.naturalWidth > 0 && i.clientWidth === i.naturalWidth && pane.scrollWidth > pane.clientWidth &&
      Math.abs(pane.scrollLeft - (pane.scrollWidth - pane.clientWidth) / 2) <= 1; });  // its middle first
  const pane = await page.locator("#preview-pane").boundingBox();
  const before = await page.locator("#preview-pane").evaluate((p) => p.scrollLeft);
  await page.mouse.move(pane.x + pane.width / 2, pane.y + pane.height / 2);
  await page.mouse.down();
  await page.mouse.move(pane.x + pane.width / 2 + 80, pane.y + pane.height / 2, { steps: 4 });
  await page.mouse.up();
  assert.ok(Math.abs(await page.locator("#preview-pane").evaluate((p) => p.scrollLeft) - (before - 80)) <= 1, "dragged right, the photo moves right");
  assert.equal(await page.locator("#preview-zoom").getAttribute("aria-pressed"), "true", "a drag is no click: still at 100%");
  await page.keyboard.press("Space");
  if (process.env.LUMIVANE_BROWSER_FIGURES) {
    // What the same browser does at best with the first screen's photos: shown straight from files on disk.
    const photos = fs.readdirSync(path.join(work, "phone/DCIM/100APPLE")).filter((name) => name.endsWith(".JPG")).sort().slice(0, 9);
    const html = path.join(work, "first-screen.html");
    fs.writeFileSync(html, `<!doctype html><body style="display:grid;grid-template-columns:repeat(3,200px)">` +
      photos.map((name) => `<img style="width:200px" src="phone/DCIM/100APPLE/${name}">`).join("") + "</body>");
    const plain = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    const started = Date.now();
    await plain.goto(`file://${html}`);
    await plain.waitForFunction(() => [...document.images].every((img) => img.complete && img.naturalWidth > 0), null, { polling: 25 });
    figures.filesScreenMs = Date.now() - started;
    await plain.close();
    fs.writeFileSync(process.env.LUMIVANE_BROWSER_FIGURES, JSON.stringify(figures));
  }
  console.log(`console_e2e: every step passed; axe-core found nothing serious in ${audits.length} states (${audits.join(", ")}); ` +
              `first screen of the 20,000-photo phone in ${figures.firstScreenMs} ms, its final order in ${figures.finalOrderMs} ms; ` +
              `longest task while scrolling ${figures.longestTaskMs} ms; screenshots in ${shots}`);
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
