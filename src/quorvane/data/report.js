// The lot report's page: reads the data in #report-data and draws the
// summary, the plot table, the plots of the table's page and the item panels.
// Only what is shown is drawn: a lot of 10,000 plots opens as fast as one of ten.
"use strict";
(function () {
  const D = JSON.parse(document.getElementById("report-data").textContent);
  const PAGE = 100;          // table rows, and plots in the gallery, per page
  const LAZY_PANELS = 40;    // more item panels than this are drawn as they scroll into view
  const LIST_FIELDS = new Set(["x_values", "y_values"]);

  // ---- the records, one object per plot ------------------------------------
  const records = [];
  for (let i = 0; i < D.count; i++) records.push({ i: i });
  for (const [name, column] of Object.entries(D.columns)) {
    let values = column;
    if (column && column.texts) {
      const texts = LIST_FIELDS.has(name) ? column.texts.map(splitList) : column.texts;
      values = column.index.map(function (k) { return texts[k]; });
    } else if (LIST_FIELDS.has(name)) {
      values = column.map(splitList);
    }
    for (let i = 0; i < D.count; i++) records[i][name] = values[i];
  }
  function splitList(text) { return text === "" ? [] : text.split(D.separator); }
  for (const r of records) {
    r.review = !!r.review;
    r.name = baseName(r.datalog);
    r.haystack = [r.datalog, r.lot, r.wafer, r.site, r.item, r.pattern, r.label, r.why, r.sweep].join("\n").toLowerCase();
  }

  function baseName(path) { const parts = String(path).split(/[\\/]/); return parts[parts.length - 1]; }
  function esc(text) {
    return String(text).replace(/[&<>"']/g, function (c) {
      return { "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" }[c];
    });
  }
  function num(value, digits) {
    if (value === null || value === undefined) return "";
    return digits === undefined ? String(value) : value.toFixed(digits);
  }
  function withUnit(value, unit) { return value === null || value === undefined ? "" : unit ? value + " " + unit : String(value); }
  function vminText(r) { return withUnit(r.vmin, r.y_unit); }
  function fmaxText(r) { return r.fmax !== null ? withUnit(r.fmax, r.fmax_unit) : withUnit(r.period, r.period_unit); }

  // ---- page skeleton ---------------------------------------------------------
  const colours = D.colours;
  const style = document.createElement("style");
  style.textContent = ".pt-p{fill:" + colours.pass + "}.pt-f{fill:" + colours.fail + "}.pt-n{fill:" + colours.neither + "}";
  document.head.appendChild(style);
  const S = D.summary;
  const lots = unique(records.map(function (r) { return r.lot; }).filter(Boolean));
  document.body.insertAdjacentHTML("beforeend",
    '<h1>' + esc(lots.length ? "Lot " + lots.join(", ") : "Shmoo plots") + '</h1>' +
    '<p class="meta">' + esc(S.plots + " plots in " + S.datalogs.length + " datalog(s), " + S.review +
      " for review; verdicts by model " + D.model + "; quorvane " + D.version) + '</p>' +
    '<section id="summary"><h2>Lot summary</h2></section>' +
    '<section id="plots"><h2>Plots</h2>' +
    '<div class="controls"><input id="filter" type="search" placeholder="filter: datalog, lot, site, item, verdict, reason">' +
    '<select id="verdict-filter"></select><select id="review-filter">' +
    '<option value="">review: all</option><option value="yes">for review</option><option value="no">not for review</option></select>' +
    '<span id="shown-count"></span><span class="pager"><button id="prev">&lt;</button> <span id="page-text"></span> <button id="next">&gt;</button></span></div>' +
    '<div class="split"><div class="table-wrap"><table id="plot-table"><thead></thead><tbody></tbody></table></div>' +
    '<aside id="detail"><p class="note">Click a row or a plot to see it here.</p></aside></div>' +
    '<h2>Plots of this page</h2><p>' + legendHtml() + ' <span class="note">in the order of the table; the page buttons above turn it</span></p>' +
    '<div id="gallery"></div></section>' +
    '<section id="items"><h2>Per item and sweep: composite pass counts and Vmin of all sites</h2></section>');

  function unique(values) { return Array.from(new Set(values)); }
  function legendHtml() {
    return '<span class="legend"><span><i class="sw" style="background:' + colours.pass + '"></i>pass</span>' +
      '<span><i style="background:' + colours.fail + '"></i>fail</span>' +
      '<span><i style="background:' + colours.neither + '"></i>untested</span></span>';
  }

  // ---- lot summary -------------------------------------------------------------
  (function summary() {
    const fields = ["lot", "wafer", "program", "tester", "temperature"];
    let h = '<p>' + S.labels.map(function (label, k) { return esc((label || "(not scored)") + ": " + S.label_counts[k]); }).join(" &middot; ") + '</p>';
    h += '<table><thead><tr><th>datalog</th>' + fields.map(function (f) { return "<th>" + f + "</th>"; }).join("") +
      '<th>sites</th><th class="num">plots</th><th class="num">review</th><th>verdicts</th></tr></thead><tbody>';
    for (const d of S.datalogs) {
      h += '<tr><td title="' + esc(d.datalog) + '">' + esc(baseName(d.datalog)) + '</td>' +
        fields.map(function (f) { return "<td>" + esc(d[f]) + "</td>"; }).join("") +
        '<td>' + esc(d.sites.join(", ")) + '</td><td class="num">' + d.plots + '</td><td class="num">' + d.review + '</td><td>' +
        esc(Object.entries(d.labels).sort(function (a, b) { return b[1] - a[1]; }).map(function (e) { return e[0] + " " + e[1]; }).join(", ")) +
        '</td></tr>';
    }
    h += '</tbody></table>';
    h += listing("Items whose sites disagree", S.disagreements, "no item: the sites of every item agree");
    if (S.unclosed.length) h += listing("Plots that never end", S.unclosed, "");
    document.getElementById("summary").insertAdjacentHTML("beforeend", h);
  })();

  function listing(title, lines, none) {
    if (!lines.length) return '<p><b>' + esc(title) + ':</b> ' + esc(none) + '</p>';
    const items = lines.map(function (line) { return "<li>" + esc(line) + "</li>"; }).join("");
    return '<details' + (lines.length <= 10 ? " open" : "") + ' class="disagree"><summary><b>' + esc(title) + " (" + lines.length +
      ')</b></summary><ul>' + items + '</ul></details>';
  }

  // ---- the table -----------------------------------------------------------------
  const COLUMNS = [
    { key: "i", title: "#", num: true, value: function (r) { return r.i + 1; } },
    { key: "datalog", title: "datalog", value: function (r) { return r.name; } },
    { key: "lot", title: "lot" },
    { key: "wafer", title: "wafer" },
    { key: "site", title: "site", sort: function (r) { const v = parseFloat(r.site); return isNaN(v) ? r.site : v; } },
    { key: "item", title: "item" },
    { key: "size", title: "size", value: function (r) { return r.rows + "x" + r.cols; }, sort: function (r) { return r.rows * r.cols; } },
    { key: "label", title: "verdict" },
    { key: "p_Pass", title: "p Pass", num: true, value: function (r) { return num(r.p_Pass, 2); } },
    { key: "review", title: "review", value: function (r) { return r.review ? "yes" : ""; }, sort: function (r) { return r.review ? 1 : 0; } },
    { key: "vmin", title: "Vmin", num: true, value: vminText },
    { key: "fmax", title: "Fmax", num: true, value: fmaxText, sort: function (r) { return r.fmax !== null ? r.fmax : r.period; } },
    { key: "pass_fraction", title: "pass", num: true, value: function (r) { return num(r.pass_fraction, 3); } },
    { key: "holes", title: "holes", num: true },
  ];
  const state = { text: "", verdict: "", review: "", sort: null, up: true, page: 0, shown: [], selected: -1 };

  const thead = document.querySelector("#plot-table thead");
  thead.innerHTML = "<tr>" + COLUMNS.map(function (c) {
    return '<th data-key="' + c.key + '"' + (c.num ? ' class="num"' : "") + ' title="sort by ' + esc(c.title) + '">' + esc(c.title) + "</th>";
  }).join("") + "</tr>";
  thead.addEventListener("click", function (event) {
    const th = event.target.closest("th");
    if (!th) return;
    const key = th.dataset.key;
    state.up = state.sort === key ? !state.up : true;
    state.sort = key;
    state.page = 0;
    update();
  });

  const verdictSelect = document.getElementById("verdict-filter");
  verdictSelect.innerHTML = '<option value="">verdict: all</option><option value="!Pass">not plain Pass</option>' +
    S.labels.map(function (label, k) { return '<option value="=' + esc(label) + '">' + esc((label || "(not scored)") + " (" + S.label_counts[k] + ")") + "</option>"; }).join("");
  document.getElementById("filter").addEventListener("input", function (event) { state.text = event.target.value.toLowerCase(); state.page = 0; update(); });
  verdictSelect.addEventListener("change", function (event) { state.verdict = event.target.value; state.page = 0; update(); });
  document.getElementById("review-filter").addEventListener("change", function (event) { state.review = event.target.value; state.page = 0; update(); });
  document.getElementById("prev").addEventListener("click", function () { if (state.page > 0) { state.page--; draw(); } });
  document.getElementById("next").addEventListener("click", function () { if ((state.page + 1) * PAGE < state.shown.length) { state.page++; draw(); } });

  function sortValue(column, r) {
    if (column.sort) return column.sort(r);
    const v = r[column.key];
    return typeof v === "string" ? v.toLowerCase() : v;
  }
  function compareValues(a, b) {
    const aMissing = a === null || a === undefined || a === "", bMissing = b === null || b === undefined || b === "";
    if (aMissing || bMissing) return aMissing === bMissing ? 0 : aMissing ? 1 : -1;
    if (typeof a === "number" && typeof b === "number") return a - b;
    return String(a) < String(b) ? -1 : String(a) > String(b) ? 1 : 0;
  }

  function update() {
    const text = state.text, verdict = state.verdict, review = state.review;
    let shown = records.filter(function (r) {
      if (text && r.haystack.indexOf(text) < 0) return false;
      if (verdict === "!Pass" && r.label === "Pass") return false;
      if (verdict.charAt(0) === "=" && r.label !== verdict.slice(1)) return false;
      if (review === "yes" && !r.review) return false;
      if (review === "no" && r.review) return false;
      return true;
    });
    if (state.sort === null) {
      // Plots to review first, each group in the order of the lot.
      shown.sort(function (a, b) { return (b.review - a.review) || (a.i - b.i); });
    } else {
      const column = COLUMNS.find(function (c) { return c.key === state.sort; });
      const keys = new Map(shown.map(function (r) { return [r, sortValue(column, r)]; }));
      const sign = state.up ? 1 : -1;
      shown.sort(function (a, b) {
        const ka = keys.get(a), kb = keys.get(b);
        const missing = (ka === null || ka === undefined || ka === "") - (kb === null || kb === undefined || kb === "");
        // Plots without a value go last whichever way the column sorts.
        return missing || sign * compareValues(ka, kb) || (a.i - b.i);
      });
    }
    state.shown = shown;
    for (const th of thead.querySelectorAll("th")) {
      th.classList.toggle("sorted-up", th.dataset.key === state.sort && state.up);
      th.classList.toggle("sorted-down", th.dataset.key === state.sort && !state.up);
    }
    draw();
  }

  function draw() {
    const shown = state.shown;
    const pages = Math.max(1, Math.ceil(shown.length / PAGE));
    const page = shown.slice(state.page * PAGE, (state.page + 1) * PAGE);
    document.getElementById("shown-count").textContent = shown.length + " of " + records.length + " plots";
    document.getElementById("page-text").textContent = "page " + (state.page + 1) + " of " + pages;
    const rows = page.map(function (r) {
      return '<tr data-i="' + r.i + '" class="' + (r.review ? "review" : "") + (r.i === state.selected ? " selected" : "") + '">' +
        COLUMNS.map(function (c) {
          const v = c.value ? c.value(r) : r[c.key];
          const title = c.key === "review" && r.review ? ' title="' + esc(r.why) + '"' : c.key === "datalog" ? ' title="' + esc(r.datalog) + '"' : "";
          return '<td class="' + c.key + (c.num ? " num" : "") + '"' + title + ">" + esc(v === null || v === undefined ? "" : v) + "</td>";
        }).join("") + "</tr>";
    });
    document.querySelector("#plot-table tbody").innerHTML = rows.join("");
    document.getElementById("gallery").innerHTML = page.map(function (r) {
      return '<figure data-i="' + r.i + '" class="' + (r.review ? "review" : "") + '">' + plotSvg(r, false) +
        '<figcaption title="' + esc(r.item) + '">' + esc(r.name + " site " + r.site + " #" + r.plot + ": " + (r.label || "?") + (r.review ? " (review)" : "")) +
        "</figcaption></figure>";
    }).join("");
  }

  document.querySelector("#plot-table tbody").addEventListener("click", function (event) {
    const tr = event.target.closest("tr");
    if (tr) select(Number(tr.dataset.i));
  });
  document.getElementById("gallery").addEventListener("click", function (event) {
    const figure = event.target.closest("figure");
    if (figure) select(Number(figure.dataset.i));
  });

  // ---- one plot --------------------------------------------------------------------
  function textWidth(text, size) { return String(text).length * size * 0.6; }
  function tickIndices(count, most) {
    if (count <= 0) return [];
    const step = Math.max(1, Math.ceil(count / most));
    const picked = [];
    for (let k = 0; k < count; k += step) picked.push(k);
    if (picked[picked.length - 1] !== count - 1) {
      if (count - 1 - picked[picked.length - 1] < step / 2 && picked.length > 1) picked.pop();
      picked.push(count - 1);
    }
    return picked;
  }
  function axisTitle(quantity, unit, fallback) {
    const name = quantity || fallback;
    return unit ? (name ? name + " (" + unit + ")" : unit) : name;
  }

  // The plot as printed: first printed row at the top, first point column at the left.
  function plotSvg(r, big) {
    const rows = r.rows, cols = r.cols, points = r.points || "";
    const yv = r.y_values.length === rows ? r.y_values : range(rows);
    const xv = r.x_values.length === cols ? r.x_values : range(cols);
    const longest = Math.max(rows, cols, 1);
    const cell = big ? clamp(Math.floor(320 / longest), 4, 26) : clamp(Math.floor(130 / longest), 2, 12);
    const fs = big ? 11 : 9;
    const yTicks = big ? tickIndices(rows, 24) : ends(rows);
    const xTicks = big ? tickIndices(cols, 24) : ends(cols);
    const yWidth = Math.max(12, ...yTicks.map(function (k) { return textWidth(yv[k], fs); }));
    const xWidth = Math.max(12, ...xTicks.map(function (k) { return textWidth(xv[k], fs); }));
    const turned = big && xTicks.length * (xWidth + 4) > cols * cell;
    const left = yWidth + fs + 10, top = 6;
    const w = cols * cell, h = rows * cell;
    const bottom = (turned ? xWidth : fs) + fs + 14;
    const width = Math.max(left + w + 8, big ? 0 : 120), height = top + h + bottom;
    const yTitle = axisTitle(r.y_quantity, r.y_unit, "row"), xTitle = axisTitle(r.x_quantity, r.x_unit, "column");
    let s = '<svg class="plot' + (big ? " detail" : "") + '" data-i="' + r.i + '" xmlns="http://www.w3.org/2000/svg" width="' + width +
      '" height="' + height + '" viewBox="0 0 ' + width + " " + height + '" font-size="' + fs + '">';
    s += '<g transform="translate(' + left + "," + top + ')">';
    for (let y = 0; y < rows; y++) {
      if (big) {
        for (let x = 0; x < cols; x++) {
          s += '<rect class="pt-' + kind(points.charAt(y * cols + x)) + '" x="' + x * cell + '" y="' + y * cell + '" width="' + cell +
            '" height="' + cell + '" stroke="#fff" stroke-width="0.5"/>';
        }
      } else {
        // Runs of one kind of point as one rectangle: a small plot stays a few dozen elements.
        let start = 0;
        for (let x = 1; x <= cols; x++) {
          if (x === cols || points.charAt(y * cols + x) !== points.charAt(y * cols + start)) {
            s += '<rect class="pt-' + kind(points.charAt(y * cols + start)) + '" x="' + start * cell + '" y="' + y * cell +
              '" width="' + (x - start) * cell + '" height="' + cell + '"/>';
            start = x;
          }
        }
      }
    }
    s += '<rect class="frame" width="' + w + '" height="' + h + '"/>';
    for (const k of yTicks) {
      s += '<text class="tick y" x="-4" y="' + (k * cell + cell / 2 + fs * 0.35) + '" text-anchor="end">' + esc(yv[k]) + "</text>";
    }
    for (const k of xTicks) {
      const cx = k * cell + cell / 2;
      if (turned) {
        s += '<text class="tick x" transform="translate(' + (cx + fs * 0.35) + "," + (h + 4) + ') rotate(-90)" text-anchor="end">' + esc(xv[k]) + "</text>";
      } else {
        const anchor = big ? "middle" : k === 0 && xTicks.length > 1 ? "start" : k === cols - 1 && xTicks.length > 1 ? "end" : "middle";
        const at = big ? cx : anchor === "start" ? 0 : anchor === "end" ? w : cx;
        s += '<text class="tick x" x="' + at + '" y="' + (h + fs + 2) + '" text-anchor="' + anchor + '">' + esc(xv[k]) + "</text>";
      }
    }
    s += '<text class="axis-title x" x="' + w / 2 + '" y="' + (height - top - 4) + '" text-anchor="middle">' + esc(xTitle) + "</text>";
    s += '<text class="axis-title y" transform="translate(' + (-left + fs) + "," + h / 2 + ') rotate(-90)" text-anchor="middle">' + esc(yTitle) + "</text>";
    s += "</g></svg>";
    return s;
  }
  function kind(ch) { return ch === "1" ? "p" : ch === "0" ? "f" : "n"; }
  function clamp(v, lo, hi) { return Math.max(lo, Math.min(hi, v)); }
  function range(n) { const out = []; for (let k = 1; k <= n; k++) out.push(String(k)); return out; }
  function ends(n) { return n <= 0 ? [] : n === 1 ? [0] : [0, n - 1]; }

  function select(i) {
    state.selected = i;
    for (const tr of document.querySelectorAll("#plot-table tbody tr")) tr.classList.toggle("selected", Number(tr.dataset.i) === i);
    const r = records[i];
    const probabilities = D.label_keys.map(function (key) { return r["p_" + key] === null ? "" : key + " " + num(r["p_" + key], 2); }).filter(Boolean).join(", ");
    const facts = [
      ["datalog", r.datalog], ["lot / wafer", [r.lot, r.wafer].filter(Boolean).join(" / ")], ["program", r.program],
      ["tester", r.tester], ["temperature", r.temperature], ["site", r.site], ["plot", "#" + r.plot + " of its site, start marker at line " + r.line],
      ["item", r.item], ["pattern", r.pattern], ["sweep", r.sweep], ["verdict", r.label || "(not scored)"], ["probabilities", probabilities],
      ["Vmin", vminText(r) + (r.vmin_at ? " at " + withUnit(r.vmin_at, r.x_unit) : "")],
      ["Fmax", fmaxText(r) + (r.fmax_at ? " at " + withUnit(r.fmax_at, r.y_unit) : "")],
      ["pass fraction", num(r.pass_fraction, 3)], ["holes", r.holes],
    ];
    document.getElementById("detail").innerHTML =
      '<h3>' + esc(r.name + " site " + r.site + " plot " + r.plot + " (line " + r.line + ")") + '</h3>' +
      (r.review ? '<p class="why">for review: ' + esc(r.why) + "</p>" : "<p>not on the review list</p>") +
      plotSvg(r, true) + "<div>" + legendHtml() + "</div>" +
      "<dl>" + facts.filter(function (f) { return f[1] !== "" && f[1] !== null; }).map(function (f) {
        return "<dt>" + esc(f[0]) + "</dt><dd>" + esc(f[1]) + "</dd>";
      }).join("") + "</dl>";
  }

  // ---- per item and sweep ---------------------------------------------------------------
  const PALETTE = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"];
  const severalDatalogs = S.datalogs.length > 1;

  function compositeSvg(c) {
    const longest = Math.max(c.rows, c.cols, 1);
    const cell = clamp(Math.floor(300 / longest), 4, 24), fs = 10;
    const yTicks = tickIndices(c.rows, 12), xTicks = tickIndices(c.cols, 12);
    const yWidth = Math.max(12, ...yTicks.map(function (k) { return textWidth(c.y_values[k] || "", fs); }));
    const xWidth = Math.max(12, ...xTicks.map(function (k) { return textWidth(c.x_values[k] || "", fs); }));
    const turned = xTicks.length * (xWidth + 4) > c.cols * cell;
    const left = yWidth + fs + 10, top = 4, w = c.cols * cell, h = c.rows * cell;
    const height = top + h + (turned ? xWidth : fs) + fs + 14, width = left + w + 8;
    let s = '<svg class="composite" xmlns="http://www.w3.org/2000/svg" width="' + width + '" height="' + height + '" font-size="' + fs + '">' +
      '<g transform="translate(' + left + "," + top + ')">';
    const counts = c.rows * c.cols <= 400 && cell >= 12;
    for (let y = 0; y < c.rows; y++) {
      for (let x = 0; x < c.cols; x++) {
        const k = y * c.cols + x, colour = c.cells[k] >= 0 ? c.palette[c.cells[k]] : colours.neither;
        s += '<rect x="' + x * cell + '" y="' + y * cell + '" width="' + cell + '" height="' + cell + '" fill="' + colour + '" stroke="#fff" stroke-width="0.5"><title>' +
          esc(c.passes[k] + " of " + c.judged[k] + " pass") + "</title></rect>";
        if (counts && c.judged[k]) s += '<text x="' + (x * cell + cell / 2) + '" y="' + (y * cell + cell / 2 + 3.5) + '" text-anchor="middle" font-size="9">' + c.passes[k] + "</text>";
      }
    }
    for (const k of yTicks) s += '<text class="tick y" x="-4" y="' + (k * cell + cell / 2 + fs * 0.35) + '" text-anchor="end">' + esc(c.y_values[k] || "") + "</text>";
    for (const k of xTicks) {
      const cx = k * cell + cell / 2;
      s += turned ? '<text class="tick x" transform="translate(' + (cx + fs * 0.35) + "," + (h + 4) + ') rotate(-90)" text-anchor="end">' + esc(c.x_values[k] || "") + "</text>"
        : '<text class="tick x" x="' + cx + '" y="' + (h + fs + 2) + '" text-anchor="middle">' + esc(c.x_values[k] || "") + "</text>";
    }
    s += '<text class="axis-title x" x="' + w / 2 + '" y="' + (height - top - 4) + '" text-anchor="middle">' + esc(c.x_title) + "</text>";
    s += '<text class="axis-title y" transform="translate(' + (-left + fs) + "," + h / 2 + ') rotate(-90)" text-anchor="middle">' + esc(c.y_title) + "</text>";
    return s + "</g></svg>";
  }

  function niceTicks(low, high, count) {
    if (!(high > low)) return [low];
    const raw = (high - low) / count, power = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 2.5, 5, 10].map(function (m) { return m * power; }).find(function (s) { return s >= raw; });
    const ticks = [];
    for (let t = Math.ceil(low / step - 1e-9) * step; t <= high + step * 1e-9; t += step) ticks.push(Number(t.toPrecision(10)));
    return ticks;
  }

  function vminSvg(p) {
    const xs = [], ys = [];
    for (const c of p.curves) {
      c.x.forEach(function (v) { if (v !== null) xs.push(v); });
      c.vmin.forEach(function (v) { if (v !== null) ys.push(v); });
    }
    if (p.lowest_swept !== null) ys.push(p.lowest_swept);
    const W = 340, H = 220, left = 52, right = 10, top = 8, bottom = 40;
    let x0 = xs.length ? Math.min(...xs) : 0, x1 = xs.length ? Math.max(...xs) : 1, y0 = ys.length ? Math.min(...ys) : 0, y1 = ys.length ? Math.max(...ys) : 1;
    if (!(x1 > x0)) { x0 -= 1; x1 += 1; }
    const pad = y1 > y0 ? 0.05 * (y1 - y0) : Math.max(Math.abs(y0) * 0.05, 0.05);
    y0 -= pad; y1 += pad;
    const px = function (v) { return left + (v - x0) / (x1 - x0) * (W - left - right); };
    const py = function (v) { return top + (1 - (v - y0) / (y1 - y0)) * (H - top - bottom); };
    let s = '<svg class="vmin" xmlns="http://www.w3.org/2000/svg" width="' + W + '" height="' + H + '" font-size="10">';
    for (const t of niceTicks(y0, y1, 5)) {
      s += '<line class="gridline" x1="' + left + '" x2="' + (W - right) + '" y1="' + py(t) + '" y2="' + py(t) + '"/>' +
        '<text class="tick y" x="' + (left - 4) + '" y="' + (py(t) + 3.5) + '" text-anchor="end">' + t + "</text>";
    }
    for (const t of niceTicks(x0, x1, 5)) {
      s += '<line class="gridline" y1="' + top + '" y2="' + (H - bottom) + '" x1="' + px(t) + '" x2="' + px(t) + '"/>' +
        '<text class="tick x" x="' + px(t) + '" y="' + (H - bottom + 13) + '" text-anchor="middle">' + t + "</text>";
    }
    s += '<rect class="frame" x="' + left + '" y="' + top + '" width="' + (W - left - right) + '" height="' + (H - top - bottom) + '"/>';
    if (p.lowest_swept !== null) {
      s += '<line class="lowest" x1="' + left + '" x2="' + (W - right) + '" y1="' + py(p.lowest_swept) + '" y2="' + py(p.lowest_swept) +
        '" stroke="#888" stroke-dasharray="2,3"><title>lowest swept</title></line>';
    }
    p.curves.forEach(function (c, k) {
      const colour = PALETTE[k % PALETTE.length];
      const r = records[c.record];
      let path = "", pen = "M";
      // A column without a Vmin breaks the curve; points are joined in the order of their x values.
      const order = c.x.map(function (_, j) { return j; }).sort(function (a, b) { return c.x[a] - c.x[b]; });
      for (const j of order) {
        if (c.vmin[j] === null || c.x[j] === null) { pen = "M"; continue; }
        path += pen + px(c.x[j]).toFixed(1) + "," + py(c.vmin[j]).toFixed(1);
        pen = "L";
      }
      s += '<path d="' + path + '" fill="none" stroke="' + colour + '" stroke-width="' + (1.2 + 1.2 * (p.curves.length - 1 - k) / Math.max(1, p.curves.length)) +
        '" stroke-opacity="0.85"><title>' + esc((severalDatalogs ? r.name + " " : "") + "site " + r.site) + "</title></path>";
    });
    s += '<text class="axis-title x" x="' + (left + (W - left - right) / 2) + '" y="' + (H - 6) + '" text-anchor="middle">' + esc(p.x_title) + "</text>";
    s += '<text class="axis-title y" transform="translate(12,' + (top + (H - top - bottom) / 2) + ') rotate(-90)" text-anchor="middle">' + esc(p.y_title) + "</text>";
    s += "</svg>";
    const key = p.curves.map(function (c, k) {
      const r = records[c.record];
      return '<span><i style="background:' + PALETTE[k % PALETTE.length] + '"></i>' + esc((severalDatalogs ? r.name + " " : "") + "site " + r.site) + "</span>";
    });
    if (p.lowest_swept !== null) key.push('<span><i style="background:repeating-linear-gradient(90deg,#888 0 2px,#fff 2px 5px);height:2px"></i>lowest swept</span>');
    return '<div>' + s + '<div class="legend" style="flex-wrap:wrap;max-width:340px">' + key.join("") + "</div></div>";
  }

  function drawPanel(div, p) {
    div.innerHTML = '<div><h3>' + esc(p.item + (p.run > 1 ? " (run " + p.run + ")" : "")) + '</h3><p class="note">' +
      esc(p.sweep + "; " + p.curves.length + " plot(s)") + "</p>" +
      (p.composite ? compositeSvg(p.composite) + '<p class="note">pass count of each point across the ' + p.composite.plots + " plots (green: every one passes, red: none)</p>" : "") +
      "</div>" + vminSvg(p);
  }

  (function items() {
    const section = document.getElementById("items");
    const lazy = D.panels.length > LAZY_PANELS && "IntersectionObserver" in window;
    const observer = lazy ? new IntersectionObserver(function (entries) {
      for (const entry of entries) {
        if (!entry.isIntersecting) continue;
        observer.unobserve(entry.target);
        drawPanel(entry.target, D.panels[Number(entry.target.dataset.panel)]);
      }
    }, { rootMargin: "600px" }) : null;
    if (!D.panels.length) section.insertAdjacentHTML("beforeend", '<p class="note">no plot</p>');
    D.panels.forEach(function (p, k) {
      const div = document.createElement("div");
      div.className = "panel";
      div.dataset.panel = k;
      section.appendChild(div);
      if (lazy) observer.observe(div); else drawPanel(div, p);
    });
  })();

  update();
  // For the bench and the browser test: when the page is drawn, and when that first shows on screen.
  window.reportReady = performance.now();
  requestAnimationFrame(function () { requestAnimationFrame(function () { window.reportPainted = performance.now(); }); });
  document.body.dataset.ready = "1";
})();
