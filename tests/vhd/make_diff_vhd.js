// Turns a dynamic VHD into a differencing child of a parent with vhd-lib, an independent VHD
// writer, and writes patterned sectors into the child.
// Usage: node make_diff_vhd.js MODULES_DIR PARENT CHILD W2KU_TEXT [SECTOR:COUNT:BYTE ...]
'use strict';
const fs = require('fs');
const path = require('path');
const [modules, parentPath, childPath, locatorText, ...writes] = process.argv.slice(2);
const lib = require(path.join(modules, 'node_modules', 'vhd-lib'));
const Vhd = lib.default;

// The file handler vhd-lib expects, over plain files.
const handler = {
  async read(file, buffer, position) {
    const fd = fs.openSync(file, 'r');
    try {
      const bytesRead = fs.readSync(fd, buffer, 0, buffer.length, position);
      return { bytesRead, buffer };
    } finally { fs.closeSync(fd); }
  },
  async write(file, buffer, position) {
    const fd = fs.openSync(file, 'r+');
    try { fs.writeSync(fd, buffer, 0, buffer.length, position); } finally { fs.closeSync(fd); }
  },
  async getSize(file) { return fs.statSync(file).size; },
};

(async () => {
  await lib.chainVhd(handler, parentPath, handler, childPath, true);
  const child = new Vhd(handler, childPath);
  await child.readHeaderAndFooter();
  await child.readBlockAllocationTable();
  // vhd-lib records the parent as a relative W2ku path; store the absolute Windows path instead.
  await child.setUniqueParentLocator(locatorText);
  await child.writeHeader();
  for (const w of writes) {
    const [sector, count, byte] = w.split(':').map(Number);
    await child.writeData(sector, Buffer.alloc(count * 512, byte));
  }
  await child.writeFooter();
})().catch((e) => { console.error(e); process.exit(1); });
