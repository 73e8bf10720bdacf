// What the card records of the requests it serves, the faults tests inject, and the state
// tests read back.
#include <algorithm>
#include <string>

#include "sim/card.h"

namespace sim::kms
{

#define F(x) rec.fields[#x] = uint64_t(o.x)

void rec_version(request_record &rec, const drm_version &, const drm_version &o)
{
	F(version_major);
	F(version_minor);
	F(version_patchlevel);
	F(name_len);
	F(date_len);
	F(desc_len);
}

void rec_get_cap(request_record &rec, const drm_get_cap &, const drm_get_cap &o)
{
	F(capability);
	F(value);
}

void rec_set_client_cap(request_record &rec, const drm_set_client_cap &,
                        const drm_set_client_cap &o)
{
	F(capability);
	F(value);
}

void rec_card_res(request_record &rec, const drm_mode_card_res &, const drm_mode_card_res &o)
{
	F(count_fbs);
	F(count_crtcs);
	F(count_connectors);
	F(count_encoders);
	F(min_width);
	F(max_width);
	F(min_height);
	F(max_height);
}

void rec_crtc(request_record &rec, const drm_mode_crtc &, const drm_mode_crtc &o)
{
	F(crtc_id);
	F(fb_id);
	F(x);
	F(y);
	F(gamma_size);
	F(mode_valid);
}

void rec_encoder(request_record &rec, const drm_mode_get_encoder &, const drm_mode_get_encoder &o)
{
	F(encoder_id);
	F(encoder_type);
	F(crtc_id);
	F(possible_crtcs);
	F(possible_clones);
}

void rec_connector(request_record &rec, const drm_mode_get_connector &,
                   const drm_mode_get_connector &o)
{
	F(count_modes);
	F(count_props);
	F(count_encoders);
	F(encoder_id);
	F(connector_id);
	F(connector_type);
	F(connector_type_id);
	F(connection);
	F(mm_width);
	F(mm_height);
	F(subpixel);
}

void rec_plane_res(request_record &rec, const drm_mode_get_plane_res &,
                   const drm_mode_get_plane_res &o)
{
	F(count_planes);
}

void rec_plane(request_record &rec, const drm_mode_get_plane &, const drm_mode_get_plane &o)
{
	F(plane_id);
	F(crtc_id);
	F(fb_id);
	F(possible_crtcs);
	F(gamma_size);
	F(count_format_types);
}

void rec_obj_props(request_record &rec, const drm_mode_obj_get_properties &,
                   const drm_mode_obj_get_properties &o)
{
	F(count_props);
	F(obj_id);
	F(obj_type);
}

void rec_property(request_record &rec, const drm_mode_get_property &,
                  const drm_mode_get_property &o)
{
	F(prop_id);
	F(flags);
	F(count_values);
	F(count_enum_blobs);
}

void rec_get_blob(request_record &rec, const drm_mode_get_blob &, const drm_mode_get_blob &o)
{
	F(blob_id);
	F(length);
}

void rec_create_blob(request_record &rec, const drm_mode_create_blob &,
                     const drm_mode_create_blob &o)
{
	F(length);
	F(blob_id);
}

void rec_destroy_blob(request_record &rec, const drm_mode_destroy_blob &,
                      const drm_mode_destroy_blob &o)
{
	F(blob_id);
}

void rec_create_dumb(request_record &rec, const drm_mode_create_dumb &,
                     const drm_mode_create_dumb &o)
{
	F(height);
	F(width);
	F(bpp);
	F(flags);
	F(handle);
	F(pitch);
	F(size);
}

void rec_map_dumb(request_record &rec, const drm_mode_map_dumb &, const drm_mode_map_dumb &o)
{
	F(handle);
	F(offset);
}

void rec_destroy_dumb(request_record &rec, const drm_mode_destroy_dumb &,
                      const drm_mode_destroy_dumb &o)
{
	F(handle);
}

void rec_gem_close(request_record &rec, const drm_gem_close &, const drm_gem_close &o)
{
	F(handle);
}

void rec_fb2(request_record &rec, const drm_mode_fb_cmd2 &, const drm_mode_fb_cmd2 &o)
{
	F(fb_id);
	F(width);
	F(height);
	F(pixel_format);
	F(flags);
	for (int i = 0; i < 4; i++) {
		const std::string n = "[" + std::to_string(i) + "]";
		rec.fields["handles" + n] = o.handles[i];
		rec.fields["pitches" + n] = o.pitches[i];
		rec.fields["offsets" + n] = o.offsets[i];
		rec.fields["modifier" + n] = o.modifier[i];
	}
}

void rec_rm_fb(request_record &rec, const unsigned int &, const unsigned int &o)
{
	rec.fields["fb_id"] = o;
}

void rec_atomic(request_record &rec, const drm_mode_atomic &, const drm_mode_atomic &o)
{
	F(flags);
	F(count_objs);
	F(reserved);
	F(user_data);
}

void rec_wait_vblank(request_record &rec, const drm_wait_vblank &in, const drm_wait_vblank &out)
{
	rec.fields["request.type"] = in.request.type;
	rec.fields["request.sequence"] = in.request.sequence;
	rec.fields["request.signal"] = in.request.signal;
	rec.fields["reply.type"] = out.reply.type;
	rec.fields["reply.sequence"] = out.reply.sequence;
	rec.fields["reply.tval_sec"] = uint64_t(out.reply.tval_sec);
	rec.fields["reply.tval_usec"] = uint64_t(out.reply.tval_usec);
}

#undef F

bool take_fault(device &d, const std::string &name, uint32_t object_id, int *err)
{
	for (auto it = d.faults.begin(); it != d.faults.end(); ++it) {
		if (it->request != name || (it->object_id && it->object_id != object_id))
			continue;
		if (it->nth == 0) {
			*err = it->err;
			return true;
		}
		if (++it->seen == it->nth) {
			*err = it->err;
			d.faults.erase(it);
			return true;
		}
	}
	return false;
}

} // namespace sim::kms

namespace sim
{

using namespace kms;

void fail_request(std::string_view request, int err, int nth, uint32_t object_id)
{
	card_lock lock;
	device &d = dev_or_die();
	fault f;
	f.request = std::string(request);
	f.err = err;
	f.nth = nth;
	f.object_id = object_id;
	d.faults.push_back(f);
}

void fail_mmap(int err, int nth)
{
	card_lock lock;
	device &d = dev_or_die();
	fault f;
	f.err = err;
	f.nth = nth;
	d.faults.push_back(f);
}

void fail_open(int err)
{
	card_lock lock;
	dev_or_die().open_fault = err;
}

void clear_faults()
{
	card_lock lock;
	device &d = dev_or_die();
	d.faults.clear();
	d.open_fault = 0;
}

uint64_t &field_list::operator[](std::string_view name)
{
	auto at = std::lower_bound(entries.begin(), entries.end(), name,
	                           [](const entry &e, std::string_view n) { return e.first < n; });
	if (at == entries.end() || at->first != name)
		at = entries.emplace(at, std::string(name), 0);
	return at->second;
}

const field_list::entry *field_list::find(std::string_view name) const
{
	for (const entry &e : entries)
		if (e.first == name)
			return &e;
	return nullptr;
}

uint64_t request_record::field(const std::string &f) const
{
	const field_list::entry *e = fields.find(f);
	return e ? e->second : 0;
}

std::vector<request_record> requests()
{
	card_lock lock;
	const device &d = dev_or_die();
	return {d.requests.begin(), d.requests.end()};
}

std::vector<commit_record> commits()
{
	card_lock lock;
	const device &d = dev_or_die();
	return {d.commits.begin(), d.commits.end()};
}

void clear_records()
{
	card_lock lock;
	device &d = dev_or_die();
	d.requests.clear();
	d.commits.clear();
}

live_counts live()
{
	card_lock lock;
	device &d = dev_or_die();
	live_counts n;
	for (const auto &[fd, f] : d.files)
		n.files += !f->render_only;
	n.dumb_buffers = int(d.gems.size());
	n.mappings = int(d.mappings.size());
	n.master = d.master >= 0;
	for (const auto &[id, fb] : d.fbs)
		if (fb.owner >= 0)
			n.framebuffers++;
	for (const auto &[id, b] : d.blobs)
		if (b.user)
			n.blobs++;
	return n;
}

std::optional<uint64_t> property_value(uint32_t object_id, std::string_view name)
{
	card_lock lock;
	device &d = dev_or_die();
	const object_ref *o = find_object(d, object_id);
	if (!o)
		return std::nullopt;
	const std::vector<int> *props = object_props(d, *o);
	if (!props)
		return std::nullopt;
	for (int p : *props)
		if (d.props[p].name == name)
			return prop_value(d, *o, p);
	return std::nullopt;
}

} // namespace sim
