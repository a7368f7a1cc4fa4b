// The editor's page: the video, the timeline and the segments, kept in step
// with the segments file through the server (docs/editor.md).

import { ApiError, del, get, post, put } from "./api.js";
import { clockText, el, shownTime } from "./format.js";
import { JobList, OptionsPanel, progressText } from "./panel.js";
import { Player } from "./player.js";
import { SegmentList } from "./segments.js";
import { Timeline } from "./timeline.js";

const $ = (id) => document.getElementById(id);
const CHECK_DELAY = 200; // ms after a change before the segments are checked
const SPEAK_DELAY = 700; // ms after typing stops before a narration is measured
const DRAFT_EVERY = 3000; // ms between drafts of unsaved work
const DISK_EVERY = 5000; // ms between looks at the segments file on disk
const MEDIA_EVERY = 700; // ms between looks at the media being made
const NEW_LENGTH = 5; // seconds of a new segment, unless a cut ends it sooner
const UNDO_DEPTH = 200;

const state = {
  project: null,
  items: [], // {id, entry, seconds, problems, spoken, measuring}
  nextId: 1,
  selected: null,
  base: null, // the version of the file the page holds
  saved: "[]", // the entries as last saved or read, as JSON
  drafted: null,
  listProblems: [],
  lines: [],
  checkTimer: null,
  speakTimers: new Map(),
  spoken: new Map(), // text|voice|speech -> {seconds, key, audio}
  undo: [],
  redo: [],
  typing: null, // the field whose edit is one undo step
  ghosts: [],
  duration: 0,
  ready: false,
  diskChanged: false,
};

const timings = { preview: [], ready: null };
const COPY = "/media/copy.mp4";
let player;
let timeline;
let list;
let panel;
let jobs;

// --- small things ---------------------------------------------------------------

function toast(text, kind = "info", actions = [], ms = 4500) {
  const box = el("div", { class: "toast", dataset: { kind } }, el("span", {}, text));
  for (const [name, fn] of actions) {
    box.append(el("button", { onclick: () => { box.remove(); fn(); } }, name));
  }
  $("toasts").append(box);
  setTimeout(() => box.remove(), ms);
  return box;
}

function problemToast(error) {
  const problems = error instanceof ApiError ? error.problems : [String(error)];
  toast(problems.slice(0, 4).join(" · "), "error", [], 8000);
}

function banner(text, buttons = [], kind = "info") {
  const box = $("banner");
  box.dataset.kind = kind;
  box.querySelector(".text").textContent = text;
  const holder = box.querySelector(".buttons");
  holder.replaceChildren(...buttons.map(([name, fn, primary]) =>
    el("button", { class: primary ? "primary" : "", onclick: () => { box.hidden = true; fn(); } }, name)));
  box.hidden = false;
}

function dialog(title, body, buttons) {
  const box = $("dialog");
  box.querySelector(".title").textContent = title;
  box.querySelector(".body").replaceChildren(...(Array.isArray(body) ? body : [body]));
  box.querySelector(".buttons").replaceChildren(...buttons.map(([name, fn, primary]) =>
    el("button", { class: primary ? "primary" : "", onclick: () => { box.hidden = true; fn(); } }, name)));
  box.hidden = false;
  box.querySelector(".buttons button:last-child").focus();
}

function status(text) { $("status").textContent = text; }

function entries() { return state.items.map((item) => item.entry); }
function itemOf(id) { return state.items.find((item) => item.id === id); }
function indexOf(id) { return state.items.findIndex((item) => item.id === id); }
function selectedItem() { return itemOf(state.selected); }

function makeItem(entry) {
  return { id: state.nextId++, entry, seconds: [null, null], problems: [], spoken: null, measuring: false };
}

function fitMode() { return panel.value("fit") || "narration"; }

// --- the segments and their state -------------------------------------------------

function remember() {
  state.undo.push(JSON.stringify(entries()));
  if (state.undo.length > UNDO_DEPTH) state.undo.shift();
  state.redo = [];
}

function restore(from, to) {
  if (!from.length) return;
  to.push(JSON.stringify(entries()));
  const back = JSON.parse(from.pop());
  const selectedAt = indexOf(state.selected);
  setEntries(back);
  const keep = state.items[Math.min(selectedAt, state.items.length - 1)];
  state.selected = keep ? keep.id : null;
  changed();
}

function setEntries(list2) {
  state.items = list2.map((entry) => makeItem(entry));
  state.selected = state.items.length ? state.items[0].id : null;
}

// Something about the segments changed: draw, check, measure, mark unsaved.
function changed({ check = true } = {}) {
  draw();
  markSaveState();
  if (check) scheduleCheck();
}

function draw() {
  list.render(state.items, state.selected, fitMode());
  $("segment-count").textContent = String(state.items.length);
  const fit = fitMode();
  timeline.setSegments(state.items.map((item, index) => {
    const [start, end] = item.seconds;
    const spoken = item.spoken && !item.measuring ? item.spoken.seconds : null;
    const range = start !== null && end !== null ? end - start : null;
    const over = spoken !== null && range !== null ? spoken - range : 0;
    const text = typeof item.entry.voiceover === "string" ? item.entry.voiceover.trim() : "";
    return {
      index, start, end, selected: item.id === state.selected, invalid: item.problems.length > 0,
      label: text.length > 40 ? text.slice(0, 40) + "…" : text,
      runon: fit === "narration" && over > 0.005 ? over : 0,
      note: item.problems.join("\n"),
    };
  }));
  timeline.setGhosts(state.ghosts);
  const problems = $("list-problems");
  // An empty list says so itself; its problem is told when it is saved.
  const shown = state.items.length ? state.listProblems : [];
  problems.replaceChildren(...shown.map((p) => el("p", {}, p)));
  problems.hidden = shown.length === 0;
}

function dirty() { return JSON.stringify(entries()) !== state.saved; }

function markSaveState(saving = false) {
  const box = $("save-state");
  let kind = "saved";
  let text = "Saved";
  if (saving) { kind = "saving"; text = "Saving…"; }
  else if (dirty()) {
    kind = state.lines.length ? "invalid" : "unsaved";
    text = state.lines.length ? `Unsaved · ${state.lines.length} problem${state.lines.length > 1 ? "s" : ""}` : "Unsaved changes";
  } else if (!state.project.segments.exists) { kind = "unsaved"; text = "Not saved yet"; }
  box.dataset.state = kind;
  box.querySelector("span").textContent = text;
  $("save").disabled = saving || (!dirty() && state.project.segments.exists);
}

function scheduleCheck() {
  clearTimeout(state.checkTimer);
  state.checkTimer = setTimeout(check, CHECK_DELAY);
}

async function check() {
  const sent = entries();
  let result;
  try {
    result = await post("/api/check", { segments: sent });
  } catch (e) {
    status(e.message);
    return;
  }
  applyCheck(result);
}

function applyCheck(result) {
  state.items.forEach((item, i) => {
    item.problems = result.segments[i] || [];
    const [s, e] = result.seconds[i] || [null, null];
    item.seconds = [s, e];
  });
  state.listProblems = result.problems || [];
  state.lines = result.lines || [];
  for (const item of state.items) scheduleSpeak(item);
  draw();
  markSaveState();
}

// --- narration lengths ------------------------------------------------------------

function speechChoice() {
  const values = panel.values();
  return { voice: values.voice || null, speech: values.speech || null };
}

function spokenKey(text) {
  const { voice, speech } = speechChoice();
  return `${text}\u0000${voice || ""}\u0000${speech || ""}`;
}

function scheduleSpeak(item, delay = SPEAK_DELAY) {
  const text = typeof item.entry.voiceover === "string" ? item.entry.voiceover : "";
  if (!text.trim()) { item.spoken = null; item.measuring = false; return; }
  const known = state.spoken.get(spokenKey(text));
  if (known) { item.spoken = known; item.measuring = false; return; }
  item.measuring = true;
  clearTimeout(state.speakTimers.get(item.id));
  state.speakTimers.set(item.id, setTimeout(() => speak(item, text), delay));
}

async function speak(item, text) {
  const key = spokenKey(text);
  try {
    let spoken = state.spoken.get(key);
    if (!spoken) {
      const { voice, speech } = speechChoice();
      const body = { text };
      if (voice) body.voice = voice;
      if (speech) body.speech = speech;
      spoken = await post("/api/speak", body);
      state.spoken.set(key, spoken);
    }
    if (item.entry.voiceover === text) { item.spoken = spoken; item.measuring = false; }
  } catch (e) {
    item.measuring = false;
    status(`narration: ${e.message}`);
  }
  draw();
  return state.spoken.get(key);
}

async function spokenOf(item) {
  const text = item.entry.voiceover;
  if (typeof text !== "string" || !text.trim()) return null;
  return state.spoken.get(spokenKey(text)) || speak(item, text);
}

// --- edits ----------------------------------------------------------------------

function select(id, { seek = false, reveal = true } = {}) {
  state.selected = id;
  const item = itemOf(id);
  if (item && seek && item.seconds[0] !== null) player.seek(item.seconds[0]);
  draw();
  if (reveal && item) list.reveal(id);
}

function setTimes(item, start, end) {
  if (start !== null) { item.entry.start = clockText(start); item.seconds[0] = Math.round(start * 1000) / 1000; }
  if (end !== null) { item.entry.end = clockText(end); item.seconds[1] = Math.round(end * 1000) / 1000; }
}

function addSegment(start, end, voiceover = "") {
  remember();
  const item = makeItem({ start: clockText(start), end: clockText(end), voiceover });
  item.seconds = [start, end];
  const at = indexOf(state.selected);
  state.items.splice(at >= 0 ? at + 1 : state.items.length, 0, item);
  state.selected = item.id;
  changed();
  list.reveal(item.id);
  return item;
}

function newAtPlayhead() {
  const start = player.snap(player.time);
  if (start >= state.duration - 0.1) { toast("The playhead is at the end of the video."); return; }
  const cuts = (timeline.media.cuts || []).filter((c) => c > start + 1 && c <= start + 8);
  const end = Math.min(state.duration, cuts.length ? cuts[0] : start + NEW_LENGTH);
  addSegment(start, player.snap(end) > start ? player.snap(end) : end);
}

function mark(edge) {
  const item = selectedItem();
  if (!item) { toast("Select a segment first (N makes a new one at the playhead)."); return; }
  remember();
  const t = player.snap(player.time);
  let [start, end] = item.seconds;
  const length = start !== null && end !== null && end > start ? end - start : NEW_LENGTH;
  if (edge === "start") {
    start = t;
    if (end === null || end <= start) end = Math.min(state.duration, start + length);
  } else {
    end = t;
    if (start === null || start >= end) start = Math.max(0, end - length);
  }
  setTimes(item, start, end);
  changed();
}

function removeSelected() {
  const at = indexOf(state.selected);
  if (at < 0) return;
  remember();
  const [gone] = state.items.splice(at, 1);
  const next = state.items[Math.min(at, state.items.length - 1)];
  state.selected = next ? next.id : null;
  changed();
  toast(`Segment ${at + 1} removed.`, "info", [["Undo", () => restore(state.undo, state.redo)]]);
  return gone;
}

function move(id, by) {
  const at = indexOf(id);
  const to = at + by;
  if (at < 0 || to < 0 || to >= state.items.length) return;
  remember();
  const [item] = state.items.splice(at, 1);
  state.items.splice(to, 0, item);
  changed();
}

function drop(id, onto, after) {
  remember();
  const item = state.items.splice(indexOf(id), 1)[0];
  const at = indexOf(onto) + (after ? 1 : 0);
  state.items.splice(at, 0, item);
  changed();
}

function typingStep(field) {
  if (state.typing !== field) { remember(); state.typing = field; }
}

// --- save, drafts, the file on disk -----------------------------------------------

async function save(force = false) {
  clearTimeout(state.checkTimer);
  const sent = entries();
  const json = JSON.stringify(sent);
  markSaveState(true);
  try {
    const saved = await put("/api/segments", { segments: sent, base: state.base, force });
    state.base = saved.version;
    state.saved = json;
    state.drafted = null;
    state.project.segments.exists = true;
    state.diskChanged = false;
    markSaveState();
    toast(`Saved ${state.project.segments.path}` + (saved.backup ? " (the previous version kept as .bak)" : ""));
    return true;
  } catch (e) {
    markSaveState();
    if (e.status === 409) {
      conflict(e.data);
      return false;
    }
    if (e.status === 400 && e.data.checked) applyCheck(e.data.checked);
    problemToast(e);
    return false;
  }
}

function loadFromDisk(read) {
  remember();
  setEntries(read.segments || []);
  state.base = read.version;
  state.saved = JSON.stringify(read.segments || []);
  state.diskChanged = false;
  if (read.checked) applyCheck(read.checked);
  changed();
}

function conflict(data) {
  dialog("The segments file changed on disk",
    el("p", {}, `${state.project.segments.path} was changed by something else since the editor read it. ` +
      "Keep your version (the file's is kept as .bak), or load the file and lose your changes?"),
    [["Cancel", () => {}],
     ["Load the file", async () => loadFromDisk(await get("/api/segments"))],
     ["Keep mine", () => save(true), true]]);
  if (data && data.version) state.diskChanged = true;
}

async function keepDraft(keepalive = false) {
  if (!dirty()) return;
  const json = JSON.stringify(entries());
  if (json === state.drafted) return;
  const body = JSON.stringify({ segments: entries(), base: state.base });
  try {
    if (keepalive) {
      fetch("/api/draft", { method: "PUT", headers: { "Content-Type": "application/json" }, body, keepalive: true });
    } else {
      await put("/api/draft", { segments: entries(), base: state.base });
    }
    state.drafted = json;
  } catch (e) {
    status(`draft: ${e.message}`);
  }
}

async function watchDisk() {
  if (document.hidden) return;
  let read;
  try {
    read = await get("/api/segments");
  } catch (e) {
    status(e.message);
    return;
  }
  if (read.version === state.base || state.diskChanged) return;
  if (!dirty()) {
    loadFromDisk(read);
    toast(`${state.project.segments.path} changed on disk: loaded again.`);
    return;
  }
  state.diskChanged = true;
  banner(`${state.project.segments.path} changed on disk while you were editing.`,
    [["Load the file (lose my changes)", () => loadFromDisk(read)],
     ["Keep mine (saving replaces it)", () => { state.diskChanged = true; }, true]]);
}

// --- playing ---------------------------------------------------------------------

async function hear(id) {
  const item = itemOf(id);
  if (!item) return;
  const spoken = await spokenOf(item);
  if (!spoken) return;
  const audio = $("narration-audio");
  player.halt();
  audio.src = spoken.audio;
  audio.currentTime = 0;
  audio.play().catch(() => {});
}

function bedGain() {
  const db = panel.value("bed_volume");
  if (db === "off") return 0;
  const value = Number(db);
  return Number.isFinite(value) ? Math.min(1, 10 ** (value / 20)) : 0.125;
}

async function playWithNarration(id) {
  const item = itemOf(id);
  if (!item || item.seconds[0] === null || item.seconds[1] === null) return;
  select(id, { reveal: false });
  const [start, end] = item.seconds;
  const spoken = await spokenOf(item);
  const audio = $("narration-audio");
  audio.pause();
  if (!spoken) { player.playRange(start, end); return; }
  const stop = fitMode() === "narration" ? Math.max(end, start + spoken.seconds) : end;
  audio.src = spoken.audio;
  const begin = () => {
    audio.currentTime = 0;
    audio.play().catch(() => {});
    player.playRange(start, Math.min(stop, state.duration), bedGain(), () => audio.pause());
  };
  if (audio.readyState >= 3) begin();
  else audio.addEventListener("canplay", begin, { once: true });
  audio.load();
}

// --- preview, render, batch --------------------------------------------------------

function follow(job, update) {
  const source = new EventSource(`/api/jobs/${job.id}/events`);
  source.onmessage = (event) => {
    const now = JSON.parse(event.data);
    update(now);
    if (["done", "failed", "cancelled"].includes(now.state)) source.close();
  };
  source.onerror = () => source.close();
}

async function preview(index = null) {
  const clicked = performance.now();
  const box = $("preview");
  const video = $("preview-video");
  const wait = $("preview-wait");
  const body = { segments: entries(), options: panel.values() };
  if (index !== null) body.segment = index;
  // The phone's shape is the output's.
  const aspect = (panel.value("aspect") || "9:16").split(":").map(Number);
  const tall = 384;
  const wide = Math.round((tall * aspect[0]) / aspect[1]);
  const scale = wide > 300 ? 300 / wide : 1;
  box.style.setProperty("--pw", `${Math.round(wide * scale)}px`);
  box.style.setProperty("--ph", `${Math.round(tall * scale)}px`);
  $("preview-label").textContent = index === null ? "the whole short" : `segment ${index + 1}`;
  $("preview-notes").textContent = "";
  video.pause();
  video.removeAttribute("src");
  video.load();
  wait.hidden = false;
  wait.querySelector("span").textContent = "Making the preview…";
  wait.querySelector(".meter i").style.width = "0%";
  box.hidden = false;
  let job;
  try {
    job = await post("/api/preview", body);
  } catch (e) {
    box.hidden = true;
    if (e.data && e.data.checked) applyCheck(e.data.checked);
    problemToast(e);
    return;
  }
  box.dataset.job = job.id;
  const show = (now) => {
    if (box.dataset.job !== now.id) return;
    if (now.state === "done") {
      wait.hidden = true;
      $("preview-notes").textContent = (now.notes || []).join(" ");
      video.addEventListener("canplay", () => {
        timings.preview.push(performance.now() - clicked);
        video.play().catch(() => {});
      }, { once: true });
      video.src = `/api/jobs/${now.id}/file`;
    } else if (now.state === "failed" || now.state === "cancelled") {
      wait.querySelector("span").textContent = now.state === "failed" ? (now.problems || []).join(" ") : "Cancelled";
    } else {
      wait.querySelector("span").textContent = progressText(now);
      wait.querySelector(".meter i").style.width = `${Math.round(now.fraction * 100)}%`;
    }
  };
  show(job);
  if (!["done", "failed", "cancelled"].includes(job.state)) follow(job, show);
}

async function savedFirst() {
  if (dirty() || !state.project.segments.exists) return save();
  if (state.lines.length) {
    toast("The segments have problems: see the list.", "error");
    return false;
  }
  return true;
}

async function render(extra = {}) {
  if (!(await savedFirst())) return;
  try {
    const job = await post("/api/render", { options: { ...panel.values(), ...extra } });
    jobs.show(job);
    follow(job, (now) => jobs.show(now));
  } catch (e) {
    problemToast(e);
  }
}

async function addToBatch() {
  if (!(await savedFirst())) return;
  const jobsFile = $("jobs-file").value.trim() || "jobs.json";
  try {
    const added = await post("/api/batch", { jobs_file: jobsFile, options: panel.values() });
    toast(`Added as job ${added.job} to ${jobsFile}. Run it with: ${added.command}`, "info", [], 7000);
  } catch (e) {
    problemToast(e);
  }
}

async function suggestRanges() {
  try {
    const found = await post("/api/suggestions", { segments: entries() });
    if (!found.ready) { toast("Still looking at the video for shot cuts; try again in a moment."); return; }
    state.ghosts = found.ranges;
    draw();
    if (!found.ranges.length) { toast("No shot with sound or motion is free of segments."); return; }
    banner(`${found.ranges.length} ranges suggested at shot cuts with sound or motion: click one on the timeline to add it.`,
      [["Add all", () => {
        for (const g of [...state.ghosts]) addSegment(g.start, g.end);
        state.ghosts = [];
        draw();
      }, true], ["Clear", () => { state.ghosts = []; draw(); }]]);
  } catch (e) {
    problemToast(e);
  }
}

// --- media ---------------------------------------------------------------------

// The page is ready once the copy's first frame is shown and the timeline
// drawn, whichever comes last.
const readyParts = new Set();

function reached(part) {
  readyParts.add(part);
  if (!state.ready && readyParts.has("frame") && readyParts.has("timeline")) {
    state.ready = true;
    timings.ready = performance.now();
    document.body.dataset.ready = "1";
  }
}

function loadCopy(media) {
  if (media && media.media.copy.state === "ready" && !$("video").src) $("video").src = COPY;
}

async function watchMedia(known = null) {
  let media = known;
  try {
    media = media || await get("/api/media");
  } catch (e) {
    status(e.message);
    setTimeout(watchMedia, MEDIA_EVERY * 3);
    return;
  }
  const parts = media.media;
  const copy = parts.copy;
  const wait = $("video-wait");
  if (copy.state === "ready") {
    loadCopy(media);
  } else if (copy.state === "failed") {
    wait.querySelector(".what").textContent = `The browser copy could not be made: ${copy.error}`;
    wait.querySelector(".spinner").hidden = true;
  } else if (copy.state !== "ready") {
    wait.querySelector(".what").textContent = copy.state === "making"
      ? `Preparing the browser copy… ${Math.round(copy.progress * 100)}%` : "Preparing the browser copy…";
    wait.querySelector(".meter i").style.width = `${Math.round(copy.progress * 100)}%`;
  }
  if (parts.waveform.state === "ready" && !timeline.media.peaks) {
    const response = await fetch("/media/waveform");
    if (response.ok) {
      timeline.setMedia({ peaks: new Uint8Array(await response.arrayBuffer()),
        peaksRate: Number(response.headers.get("x-peaks-rate")) || 100 });
    }
  }
  if (parts.strip.state === "ready" && !timeline.media.strip && media.strip) {
    const img = new Image();
    img.onload = () => timeline.setMedia({ strip: media.strip, stripImage: img });
    img.src = "/media/strip.jpg";
    timeline.media.strip = media.strip;
  }
  if (parts.cuts.state === "ready" && media.cuts && !timeline.media.cutsShown) {
    timeline.setMedia({ cuts: media.cuts, cutsShown: true });
  }
  const making = Object.entries(parts).filter(([, p]) => p.state === "making" || p.state === "waiting");
  const names = { waveform: "the waveform", copy: "the browser copy", strip: "the thumbnails",
    motion: "the motion", cuts: "the shot cuts" };
  if (making.length) {
    status(`making ${names[making[0][0]]}…`);
    setTimeout(watchMedia, MEDIA_EVERY);
  } else {
    const failed = Object.entries(parts).filter(([, p]) => p.state === "failed");
    status(failed.length ? `${names[failed[0][0]]} could not be made: ${failed[0][1].error}` :
      `${(media.cuts || []).length} shot cuts`);
  }
}

// --- keys ----------------------------------------------------------------------

function seekBy(seconds, pressed = true) {
  player.halt();
  player.seek(player.time + seconds, pressed);
}

function cutFrom(direction, pressed = true) {
  const cuts = timeline.media.cuts || [];
  const t = player.time;
  const found = direction > 0 ? cuts.find((c) => c > t + 0.01) : [...cuts].reverse().find((c) => c < t - 0.01);
  player.halt();
  if (found !== undefined) player.seek(found, pressed);
  else player.seek(direction > 0 ? state.duration : 0, pressed);
}

function keys(e) {
  const target = e.target;
  const typing = target instanceof HTMLInputElement || target instanceof HTMLTextAreaElement ||
    target instanceof HTMLSelectElement;
  const ctrl = e.ctrlKey || e.metaKey;
  if (ctrl && e.key.toLowerCase() === "s") { e.preventDefault(); save(); return; }
  if (typing || !$("dialog").hidden) return;
  if (!$("keys").hidden) {
    if (e.key === "Escape" || e.key === "?") $("keys").hidden = true;
    return;
  }
  if (ctrl && e.key.toLowerCase() === "z") {
    e.preventDefault();
    if (e.shiftKey) restore(state.redo, state.undo);
    else restore(state.undo, state.redo);
    return;
  }
  if (ctrl && (e.key === "ArrowLeft" || e.key === "ArrowRight")) {
    e.preventDefault();
    cutFrom(e.key === "ArrowRight" ? 1 : -1, e.timeStamp);
    return;
  }
  if (ctrl || (e.altKey && !e.key.startsWith("Arrow"))) return;
  const item = selectedItem();
  switch (e.key) {
    case " ": player.toggle(); break;
    case "j": case "J": player.shuttle(-1); break;
    case "k": case "K": player.shuttle(0); break;
    case "l": case "L": player.shuttle(1); break;
    case "ArrowLeft": if (e.shiftKey) seekBy(-1, e.timeStamp); else player.step(-1, e.timeStamp); break;
    case "ArrowRight": if (e.shiftKey) seekBy(1, e.timeStamp); else player.step(1, e.timeStamp); break;
    case "ArrowUp": case "ArrowDown": {
      const by = e.key === "ArrowUp" ? -1 : 1;
      if (e.altKey && item) move(item.id, by);
      else {
        const at = Math.min(state.items.length - 1, Math.max(0, indexOf(state.selected) + by));
        if (state.items[at]) select(state.items[at].id, { seek: true });
      }
      break;
    }
    case "i": case "I": mark("start"); break;
    case "o": case "O": mark("end"); break;
    case "n": case "N": newAtPlayhead(); break;
    case "Delete": case "Backspace": removeSelected(); break;
    case "Enter": if (item) list.focusText(item.id); break;
    case "Home": player.halt(); player.seek(item && item.seconds[0] !== null ? item.seconds[0] : 0, true); break;
    case "End": player.halt(); player.seek(item && item.seconds[1] !== null ? item.seconds[1] - player.frame : state.duration, true); break;
    case "+": case "=": timeline.zoom(1.6); break;
    case "-": case "_": timeline.zoom(1 / 1.6); break;
    case "0": timeline.fit(); break;
    case "?": $("keys").hidden = false; break;
    case "Escape": $("preview").hidden = true; state.ghosts = []; draw(); break;
    default: return;
  }
  e.preventDefault();
}

// --- start ---------------------------------------------------------------------

function showTime() {
  const t = player.time;
  $("time").textContent = shownTime(t);
  $("play").textContent = player.playing && player.shuttleSpeed > 0 ? "❚❚" : "▶";
  const shuttle = $("shuttle");
  shuttle.hidden = Math.abs(player.shuttleSpeed) <= 1 && player.shuttleSpeed >= 0;
  shuttle.textContent = player.shuttleSpeed < 0 ? `◀◀ ${-player.shuttleSpeed}×` : `▶▶ ${player.shuttleSpeed}×`;
  timeline.setTime(t);
  if (player.playing) timeline.follow(t);
}

function wire() {
  $("play").addEventListener("click", () => player.toggle());
  $("step-back").addEventListener("click", () => player.step(-1));
  $("step-on").addEventListener("click", () => player.step(1));
  $("mark-in").addEventListener("click", () => mark("start"));
  $("mark-out").addEventListener("click", () => mark("end"));
  $("new-segment").addEventListener("click", newAtPlayhead);
  $("add-segment").addEventListener("click", newAtPlayhead);
  $("zoom-in").addEventListener("click", () => timeline.zoom(1.6));
  $("zoom-out").addEventListener("click", () => timeline.zoom(1 / 1.6));
  $("zoom-fit").addEventListener("click", () => timeline.fit());
  $("save").addEventListener("click", () => save());
  $("suggest").addEventListener("click", suggestRanges);
  $("preview-all").addEventListener("click", () => preview(null));
  $("preview-close").addEventListener("click", () => { $("preview").hidden = true; $("preview-video").pause(); });
  $("render").addEventListener("click", () => render());
  $("add-batch").addEventListener("click", addToBatch);
  $("help").addEventListener("click", () => { $("keys").hidden = false; });
  $("keys").querySelector("[data-close]").addEventListener("click", () => { $("keys").hidden = true; });
  for (const tab of document.querySelectorAll(".tab")) {
    tab.addEventListener("click", () => {
      for (const other of document.querySelectorAll(".tab")) other.setAttribute("aria-selected", String(other === tab));
      $("pane-segments").hidden = tab.dataset.tab !== "segments";
      $("pane-render").hidden = tab.dataset.tab !== "render";
    });
  }
  $("video").addEventListener("click", () => player.toggle());
  const metadata = () => {
    state.duration = Number.isFinite($("video").duration) ? $("video").duration : state.duration;
    $("duration").textContent = shownTime(state.duration);
    timeline.setDuration(state.duration);
  };
  $("video").addEventListener("loadedmetadata", metadata);
  if ($("video").readyState >= HTMLMediaElement.HAVE_METADATA) metadata(); // the copy came first
  document.addEventListener("keydown", keys);
  // A button clicked with the mouse gives the keys back to the video.
  document.addEventListener("click", (e) => {
    const button = e.target.closest && e.target.closest("button");
    if (button && e.detail > 0) button.blur();
  });
  window.addEventListener("pagehide", () => keepDraft(true));
  window.addEventListener("beforeunload", (e) => {
    if (dirty()) { keepDraft(true); e.preventDefault(); e.returnValue = ""; }
  });
  setInterval(() => keepDraft(), DRAFT_EVERY);
  setInterval(watchDisk, DISK_EVERY);
}

async function start() {
  let project;
  try {
    project = await get("/api/project");
  } catch (e) {
    banner(e.message, [], "error");
    return;
  }
  state.project = project;
  state.duration = project.source.duration;
  document.title = `${project.segments.path} · clipweave editor`;
  $("source-name").textContent = project.source.name;
  $("source-name").title = project.source.label;
  $("segments-name").textContent = project.segments.path;
  $("segments-name").title = `${project.segments.folder}`;
  $("duration").textContent = shownTime(state.duration);
  player = new Player($("video"), project.source.rate);
  timeline = new Timeline({
    view: $("view"), canvas: $("layers"), blocks: $("blocks"), playhead: $("playhead"),
    hover: $("hover"), scroll: $("scroll"), thumb: $("thumb"),
  }, {
    seek: (t) => { player.halt(); player.seek(t, true); },
    select: (index, seek) => { if (state.items[index]) select(state.items[index].id, { seek }); },
    trim: (index, s, e, done) => {
      const item = state.items[index];
      if (!item) return;
      if (!done && !item.dragging) { remember(); item.dragging = true; }
      setTimes(item, s, e);
      if (done) { item.dragging = false; changed(); } else { draw(); markSaveState(); }
      if (!done) player.seek(s === item.seconds[0] ? s : e);
    },
    draw: (s, e) => addSegment(player.snap(s), player.snap(e)),
    ghost: (g) => {
      state.ghosts = state.ghosts.filter((other) => other !== g);
      addSegment(g.start, g.end);
    },
  });
  timeline.setDuration(state.duration);
  list = new SegmentList($("segments"), $("empty"), {
    select: (id) => { if (state.selected !== id) select(id, { reveal: false }); },
    time: (id, which, text) => {
      typingStep(`${id}:${which}`);
      itemOf(id).entry[which] = text;
      changed();
    },
    text: (id, text) => {
      typingStep(`${id}:text`);
      const item = itemOf(id);
      item.entry.voiceover = text;
      scheduleSpeak(item);
      changed();
    },
    move, remove: (id) => { state.selected = id; removeSelected(); },
    hear, play: playWithNarration, preview: (id) => preview(indexOf(id)), drop,
  });
  panel = new OptionsPanel($("options"), () => {
    for (const item of state.items) scheduleSpeak(item, 0);
    draw();
  });
  panel.build(project.options);
  jobs = new JobList($("jobs"), {
    cancel: (job) => del(`/api/jobs/${job.id}`).catch(problemToast),
    replace: () => {
      panel.set("overwrite", true);
      render({ overwrite: true });
    },
  });
  player.onChange(showTime);
  wire();

  const segments = project.segments;
  setEntries(segments.segments || []);
  state.base = segments.version;
  state.saved = JSON.stringify(segments.segments || []);
  applyCheck(segments.checked);
  if (segments.problems && segments.problems.length) {
    banner(`${segments.path} cannot be read as a segments file: ${segments.problems.join(" · ")} ` +
      "Saving replaces it (the old one is kept as .bak).", [["OK", () => {}]], "error");
  }
  if (segments.draft) {
    const when = segments.draft.saved ? new Date(segments.draft.saved * 1000).toLocaleString() : "before";
    banner(`Unsaved work on this file was kept (${when}).`, [
      ["Discard it", () => del("/api/draft").catch(problemToast)],
      ["Restore it", () => {
        remember();
        setEntries(segments.draft.segments);
        changed();
      }, true]]);
  }
  changed({ check: false });
  reached("timeline");
  // The first answer stands while the copy is ready; else the media are asked again.
  const first = await firstMedia;
  watchMedia(first && first.media.copy.state === "ready" ? first : null);
}

window.clipweaveEditor = { state, timings, get player() { return player; }, get timeline() { return timeline; } };
$("video").addEventListener("loadeddata", () => {
  $("video-wait").hidden = true;
  reached("frame");
});
// Asked beside the project, and the copy loaded as soon as it is known to be
// ready: its first frame is most of the page's wait.
const firstMedia = get("/api/media").then((media) => { loadCopy(media); return media; }, () => null);
start();
