// The zoomable timeline: a ruler, the strip of thumbnails, the waveform and
// the shot cuts drawn on one canvas for the part in view; the segments as
// blocks to select, trim by their edges, move, or draw anew; the playhead.

import { el, rulerLabel, shownTime } from "./format.js";

const LANES = { ruler: [0, 22], pictures: [22, 70], sound: [70, 114], segments: [114, 154] };
const STEPS = [0.04, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600];
const SNAP_PX = 7;
const MIN_SCALE = 0.02; // px a second
const MAX_SCALE = 600;

export class Timeline {
  constructor(parts, handlers) {
    Object.assign(this, parts);
    this.on = handlers; // seek(t), select(i), trim(i, start, end, done), draw(start, end), ghost(g)
    this.duration = 0;
    this.start = 0; // seconds at the left edge
    this.scale = 10; // px a second
    this.width = 0;
    this.media = { peaks: null, peaksRate: 100, strip: null, stripImage: null, cuts: [] };
    this.segments = []; // {index, start, end, selected, invalid, label, note, runon}
    this.ghosts = [];
    this.time = 0;
    this.fitted = true;
    this.ctx = this.canvas.getContext("2d");
    new ResizeObserver(() => this.resize()).observe(this.view);
    this.view.addEventListener("pointerdown", (e) => this.pointerDown(e));
    this.view.addEventListener("pointermove", (e) => this.showHover(e));
    this.view.addEventListener("pointerleave", () => { this.hover.hidden = true; });
    this.view.addEventListener("wheel", (e) => this.wheel(e), { passive: false });
    this.thumb.addEventListener("pointerdown", (e) => this.dragScroll(e));
    this.resize();
  }

  // --- geometry -------------------------------------------------------------
  x(t) { return (t - this.start) * this.scale; }
  timeAt(x) { return this.start + x / this.scale; }
  get span() { return this.width / this.scale; }

  resize() {
    const rect = this.view.getBoundingClientRect();
    this.width = Math.max(1, rect.width);
    this.height = rect.height;
    const ratio = window.devicePixelRatio || 1;
    this.canvas.width = Math.round(this.width * ratio);
    this.canvas.height = Math.round(this.height * ratio);
    this.ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    if (this.fitted) this.fit();
    else this.render();
  }

  setDuration(duration) {
    this.duration = duration > 0 ? duration : 0;
    this.fit();
  }

  fit() {
    this.fitted = true;
    if (this.duration > 0) this.scale = Math.min(MAX_SCALE, this.width / this.duration);
    this.start = 0;
    this.render();
  }

  zoom(factor, anchorX = null) {
    if (!this.duration) return;
    const ax = anchorX === null ? Math.min(Math.max(this.x(this.time), 0), this.width) : anchorX;
    const at = this.timeAt(ax);
    const least = Math.max(MIN_SCALE, this.width / this.duration);
    this.scale = Math.min(MAX_SCALE, Math.max(least, this.scale * factor));
    this.fitted = this.scale <= least + 1e-9;
    this.start = at - ax / this.scale;
    this.clampStart();
    this.render();
  }

  clampStart() {
    this.start = Math.max(0, Math.min(this.start, Math.max(0, this.duration - this.span)));
  }

  // Keeps the playhead in view while it moves.
  follow(t) {
    const x = this.x(t);
    if (x < 0 || x > this.width * 0.92) {
      this.start = t - this.span * 0.1;
      this.clampStart();
      this.render();
    }
  }

  setTime(t) {
    this.time = t;
    this.playhead.style.transform = `translateX(${this.x(t)}px)`;
  }

  setMedia(media) {
    Object.assign(this.media, media);
    this.render();
  }

  setSegments(segments) {
    this.segments = segments;
    this.placeBlocks();
    this.draw();
  }

  setGhosts(ghosts) {
    this.ghosts = ghosts;
    this.placeBlocks();
  }

  render() {
    this.draw();
    this.placeBlocks();
    this.setTime(this.time);
    this.placeScroll();
  }

  // --- drawing ----------------------------------------------------------------
  draw() {
    const c = this.ctx;
    const w = this.width;
    c.clearRect(0, 0, w, this.height);
    const styles = getComputedStyle(document.documentElement);
    const color = (name) => styles.getPropertyValue(name).trim();
    // Lanes.
    c.fillStyle = "#12151d";
    c.fillRect(0, LANES.pictures[0], w, LANES.segments[1] - LANES.pictures[0]);
    c.fillStyle = color("--line");
    for (const [, bottom] of Object.values(LANES)) c.fillRect(0, bottom - 1, w, 1);
    if (!this.duration) return;
    const end = this.x(this.duration);
    if (end < w) {
      c.fillStyle = "#0b0d12";
      c.fillRect(end, 0, w - end, this.height);
    }
    // Where the segments are, over the pictures and the sound.
    for (const s of this.segments) {
      if (s.start === null || s.end === null) continue;
      c.fillStyle = s.selected ? "#6aa8ff26" : "#6aa8ff12";
      c.fillRect(this.x(s.start), LANES.pictures[0], (s.end - s.start) * this.scale,
                 LANES.sound[1] - LANES.pictures[0]);
    }
    this.drawPictures(c, Math.min(w, end));
    this.drawSound(c, Math.min(w, end), color("--teal"));
    this.drawRuler(c, w, color("--dim"), color("--line-2"));
    // The shot cuts.
    c.fillStyle = color("--accent");
    for (const t of this.media.cuts || []) {
      const x = Math.round(this.x(t)) + 0.5;
      if (x < -4 || x > w + 4) continue;
      c.globalAlpha = 0.85;
      c.fillRect(x - 0.5, LANES.pictures[0], 1, LANES.sound[1] - LANES.pictures[0]);
      c.globalAlpha = 1;
      c.beginPath();
      c.moveTo(x - 4, LANES.ruler[1] - 6);
      c.lineTo(x + 4, LANES.ruler[1] - 6);
      c.lineTo(x, LANES.ruler[1]);
      c.fill();
    }
  }

  drawRuler(c, w, ink, tickInk) {
    const step = STEPS.find((s) => s * this.scale >= 90) || 3600;
    const minor = step / (step >= 60 ? 6 : step >= 1 ? 5 : 4);
    c.fillStyle = tickInk;
    const first = Math.floor(this.start / minor) * minor;
    for (let t = first; t <= this.timeAt(w); t += minor) {
      const x = Math.round(this.x(t)) + 0.5;
      const major = Math.abs(t / step - Math.round(t / step)) < 1e-6;
      c.fillRect(x - 0.5, major ? 10 : 16, 1, major ? 12 : 6);
    }
    c.fillStyle = ink;
    c.font = "11px ui-monospace, 'DejaVu Sans Mono', monospace";
    c.textBaseline = "top";
    for (let t = Math.floor(this.start / step) * step; t <= this.timeAt(w); t += step) {
      if (t < 0) continue;
      c.fillText(rulerLabel(t, step), Math.round(this.x(t)) + 4, 1);
    }
  }

  drawPictures(c, w) {
    const strip = this.media.strip;
    const img = this.media.stripImage;
    if (!strip || !img || !img.complete || !img.naturalWidth) return;
    const [top, bottom] = LANES.pictures;
    const h = bottom - top - 2;
    const tileW = (strip.width * h) / strip.height;
    // Tiles side by side from the left edge, each showing the picture at its time.
    const from = Math.max(0, this.x(0));
    for (let x = from; x < w; x += tileW) {
      const t = this.timeAt(x + tileW / 2);
      const i = Math.min(strip.tiles - 1, Math.max(0, Math.floor(t / strip.step)));
      c.drawImage(img, i * strip.width, 0, strip.width, strip.height, x, top + 1, Math.min(tileW, w - x), h);
    }
  }

  drawSound(c, w, ink) {
    const peaks = this.media.peaks;
    if (!peaks || !peaks.length) return;
    const [top, bottom] = LANES.sound;
    const middle = (top + bottom) / 2;
    const half = (bottom - top) / 2 - 3;
    const rate = this.media.peaksRate;
    c.fillStyle = ink;
    const from = Math.max(0, Math.floor(this.x(0)));
    for (let x = from; x < w; x++) {
      let i = Math.floor(this.timeAt(x) * rate);
      const j = Math.max(i + 1, Math.floor(this.timeAt(x + 1) * rate));
      let p = 0;
      for (; i < j && i < peaks.length; i++) if (peaks[i] > p) p = peaks[i];
      // Square root: quiet passages stay visible beside loud ones.
      const height = Math.max(0.5, Math.sqrt(p / 255) * half);
      c.fillRect(x, middle - height, 1, height * 2);
    }
  }

  // --- blocks -----------------------------------------------------------------
  placeBlocks() {
    this.blocks.replaceChildren();
    for (const g of this.ghosts) {
      const left = this.x(g.start);
      const width = (g.end - g.start) * this.scale;
      if (left + width < 0 || left > this.width) continue;
      const ghost = el("div", { class: "ghost-block", title: "Suggested: click to add this range",
        dataset: { start: g.start, end: g.end } }, "+ suggested");
      ghost.style.left = `${left}px`;
      ghost.style.width = `${Math.max(4, width)}px`;
      ghost.addEventListener("pointerdown", (e) => { e.stopPropagation(); this.on.ghost(g); });
      this.blocks.append(ghost);
    }
    for (const s of this.segments) {
      if (s.start === null || s.end === null || s.end <= s.start) continue;
      const left = this.x(s.start);
      const width = (s.end - s.start) * this.scale;
      if (left + width < -20 || left > this.width + 20) continue;
      const block = el("div", {
        class: "block" + (s.selected ? " selected" : "") + (s.invalid ? " invalid" : "") +
          (s.runon > 0 ? " overrun" : ""),
        dataset: { index: s.index }, title: s.note || "",
      }, el("span", { class: "label" }, String(s.index + 1), s.label ? el("small", {}, s.label) : null),
      el("i", { class: "edge start", dataset: { edge: "start" } }),
      el("i", { class: "edge end", dataset: { edge: "end" } }));
      block.style.left = `${left}px`;
      block.style.width = `${Math.max(4, width)}px`;
      block.addEventListener("pointerdown", (e) => this.blockDown(e, s));
      this.blocks.append(block);
      if (s.runon > 0) {
        const over = el("div", { class: "runon", title: `the narration runs on ${s.runon.toFixed(1)} s` });
        over.style.left = `${left + width}px`;
        over.style.width = `${s.runon * this.scale}px`;
        this.blocks.append(over);
      }
    }
  }

  placeScroll() {
    if (!this.duration) return;
    const share = Math.min(1, this.span / this.duration);
    const track = this.scroll.getBoundingClientRect().width;
    this.thumb.style.width = `${share * track}px`;
    this.thumb.style.left = `${(this.start / this.duration) * track}px`;
    this.thumb.hidden = share >= 1;
  }

  // --- pointer ------------------------------------------------------------------
  localX(e) { return e.clientX - this.view.getBoundingClientRect().left; }
  localY(e) { return e.clientY - this.view.getBoundingClientRect().top; }

  showHover(e) {
    if (!this.duration) return;
    const x = this.localX(e);
    this.hover.hidden = false;
    this.hover.style.left = `${x}px`;
    this.hover.dataset.time = shownTime(Math.min(this.duration, Math.max(0, this.timeAt(x))));
  }

  // Where a dragged edge lands: the frame under the pointer, or a cut, the
  // playhead or another segment's edge when one is near (not with Alt).
  snapped(t, e, skip = -1) {
    if (e.altKey) return t;
    let best = t;
    let distance = SNAP_PX / this.scale;
    const targets = [this.time, ...(this.media.cuts || [])];
    for (const s of this.segments) if (s.index !== skip && s.start !== null) targets.push(s.start, s.end);
    for (const target of targets) {
      if (Math.abs(target - t) < distance) { best = target; distance = Math.abs(target - t); }
    }
    return best;
  }

  pointerDown(e) {
    if (e.button !== 0 || !this.duration) return;
    const y = this.localY(e);
    this.view.setPointerCapture(e.pointerId);
    if (y >= LANES.segments[0]) return this.drawNew(e);
    // Anywhere above: the playhead goes there, and follows the pointer.
    const move = (ev) => this.on.seek(Math.min(this.duration, Math.max(0, this.timeAt(this.localX(ev)))));
    move(e);
    const up = () => {
      this.view.removeEventListener("pointermove", move);
      this.view.removeEventListener("pointerup", up);
    };
    this.view.addEventListener("pointermove", move);
    this.view.addEventListener("pointerup", up);
  }

  drawNew(e) {
    const from = this.snapped(this.timeAt(this.localX(e)), e);
    const box = el("div", { class: "drawing" });
    this.blocks.append(box);
    let to = from;
    const move = (ev) => {
      to = Math.min(this.duration, Math.max(0, this.snapped(this.timeAt(this.localX(ev)), ev)));
      box.style.left = `${this.x(Math.min(from, to))}px`;
      box.style.width = `${Math.abs(to - from) * this.scale}px`;
    };
    const up = () => {
      this.view.removeEventListener("pointermove", move);
      this.view.removeEventListener("pointerup", up);
      box.remove();
      // A click without a drag only moves the playhead.
      if (Math.abs(to - from) * this.scale < 4) this.on.seek(from);
      else this.on.draw(Math.min(from, to), Math.max(from, to));
    };
    this.view.addEventListener("pointermove", move);
    this.view.addEventListener("pointerup", up);
  }

  blockDown(e, s) {
    if (e.button !== 0) return;
    e.stopPropagation();
    const edge = e.target.dataset.edge || "body";
    this.on.select(s.index, edge === "body");
    const startX = this.localX(e);
    const was = { start: s.start, end: s.end };
    let moved = false;
    let now = { ...was };
    this.view.setPointerCapture(e.pointerId);
    const move = (ev) => {
      const dx = this.localX(ev) - startX;
      if (!moved && Math.abs(dx) < 3) return;
      moved = true;
      const t = this.timeAt(this.localX(ev));
      const frame = 1 / 120;
      if (edge === "start") now = { start: Math.min(this.snapped(t, ev, s.index), was.end - frame), end: was.end };
      else if (edge === "end") now = { start: was.start, end: Math.max(this.snapped(t, ev, s.index), was.start + frame) };
      else {
        const length = was.end - was.start;
        let start = was.start + dx / this.scale;
        const snappedStart = this.snapped(start, ev, s.index);
        const snappedEnd = this.snapped(start + length, ev, s.index);
        if (snappedStart !== start) start = snappedStart;
        else if (snappedEnd !== start + length) start = snappedEnd - length;
        start = Math.min(Math.max(0, start), this.duration - length);
        now = { start, end: start + length };
      }
      now.start = Math.max(0, now.start);
      now.end = Math.min(this.duration, now.end);
      this.on.trim(s.index, now.start, now.end, false);
    };
    const up = () => {
      this.view.removeEventListener("pointermove", move);
      this.view.removeEventListener("pointerup", up);
      if (moved) this.on.trim(s.index, now.start, now.end, true);
    };
    this.view.addEventListener("pointermove", move);
    this.view.addEventListener("pointerup", up);
  }

  wheel(e) {
    if (!this.duration) return;
    e.preventDefault();
    if (e.ctrlKey || e.metaKey) {
      this.zoom(Math.exp(-e.deltaY * 0.002), this.localX(e));
      return;
    }
    const delta = Math.abs(e.deltaX) > Math.abs(e.deltaY) ? e.deltaX : e.deltaY;
    this.start += delta / this.scale;
    this.clampStart();
    this.render();
  }

  dragScroll(e) {
    e.preventDefault();
    const track = this.scroll.getBoundingClientRect().width;
    const startX = e.clientX;
    const was = this.start;
    this.thumb.setPointerCapture(e.pointerId);
    const move = (ev) => {
      this.start = was + ((ev.clientX - startX) / track) * this.duration;
      this.clampStart();
      this.render();
    };
    const up = () => {
      this.thumb.removeEventListener("pointermove", move);
      this.thumb.removeEventListener("pointerup", up);
    };
    this.thumb.addEventListener("pointermove", move);
    this.thumb.addEventListener("pointerup", up);
  }
}
