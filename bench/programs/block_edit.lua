-- Insert into and remove from the middle of a list of 2000 items, 300000 times.
local items = {}
for i = 0, 1999 do items[#items + 1] = i end
local seed = 1
local total = 0
for i = 0, 299999 do
  seed = (seed * 75 + 74) % 65537
  local position = seed % #items
  if i % 2 == 0 then
    table.insert(items, position + 1, i)
  else
    total = (total + table.remove(items, position + 1)) % 1000003
  end
end
print(#items .. " " .. total .. " " .. items[1] .. " " .. items[#items // 2 + 1] .. " " .. items[#items])
